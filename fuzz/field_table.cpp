// Field tables: any bytes as one field table. The reader of one table is
// reached directly: the process-wide cache keeps every table it ever loaded
// (names handed out stay valid), which a run of millions of tables would
// fill.
#include "fldtbl.cpp"  // the unit under test, with its internal parser

#include "fuzz_input.h"

namespace fml {
// The units this target leaves out: nothing to forget here.
void reset_views() {}
}  // namespace fml

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static zfuzz::InputFile file;
    file.Set(data, size);
    fml::FieldTables tables;
    const bool ok = fml::parse_table(file.path(), tables);
    if (ok != (tables.error == 0)) std::abort();
    // Every field read names a storable field of a known type.
    for (const auto& [name, id] : tables.by_name) {
        const bool valid = (id & fml::kMaxFieldNumber) != 0 && fml::field_type(id) <= fml::kMaxType;
        if (!fml::is_identifier(name) || !valid) std::abort();
    }
    return 0;
}
