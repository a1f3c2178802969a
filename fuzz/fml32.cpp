// FML32 buffers of any contents, as a damaged or hostile reply would hold:
// the readers must refuse what does not hold together and never read or
// write outside the block. The header's magic and block size are set (a
// buffer cannot lie about the block it lives in); the bytes in use, the last
// record and every record come from the input.
#include <fml32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fml_internal.h"
#include "fuzz_input.h"
#include "tuxsim_fml.h"
#include "zta_queue.h"
#include "zta_tables.h"

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// Fills a row of each /Q table from occurrence `occurrence` of the buffer.
template <class Row>
void FillQueueRow(FBFR32* fbfr, long occurrence) {
    static constexpr auto kFields = zta::fields_of<Row>();
    Row row{};
    zta_fill_columns(zta::table_meta_of<Row>(), kFields.data(), reinterpret_cast<char*>(&row), fbfr,
                     occurrence);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("FLDTBLDIR32", ZTA_FUZZ_FIELDS_DIR, 1);
    ::unsetenv("FIELDTBLS32");
    ::setenv("VIEWDIR32", ZTA_FUZZ_VIEWS_DIR, 1);
    ::unsetenv("VIEWFILES32");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::FILE* sink = std::fopen("/dev/null", "w");
    const std::size_t block = std::max<std::size_t>(fml::round_up(size), fml::kHeaderSize);
    std::unique_ptr<unsigned char, FreeDeleter> memory(static_cast<unsigned char*>(std::aligned_alloc(8, block)));
    unsigned char* base = memory.get();
    std::memset(base, 0, block);
    std::memcpy(base, data, size);
    const std::uint32_t magic = fml::kMagic;
    const auto size32 = static_cast<std::uint32_t>(block);
    std::memcpy(base, &magic, sizeof magic);
    std::memcpy(base + 4, &size32, sizeof size32);
    auto* fbfr = reinterpret_cast<FBFR32*>(base);
    const unsigned char* end = base + block;

    // Walk every occurrence; each step must move on, so the walk ends.
    FLDID32 id = FIRSTFLDID;
    FLDOCC32 oc = 0;
    std::size_t steps = 0;
    char value[1024];
    for (;;) {
        FLDLEN32 len = sizeof value;
        const int rc = Fnext32(fbfr, &id, &oc, value, &len);
        if (rc != 1) break;
        if (++steps > block / fml::kRecordHeader) std::abort();
        // A damaged buffer (records out of order, a bad record further on)
        // may be refused by one call and not by another, as each reads only
        // as far as it needs; what a call returns must lie within the block.
        FLDLEN32 found_len = 0;
        const char* found = Ffind32(fbfr, id, oc, &found_len);
        if (found != nullptr && (reinterpret_cast<const unsigned char*>(found) < base ||
                                 reinterpret_cast<const unsigned char*>(found) + found_len > end))
            std::abort();
        FLDLEN32 got_len = sizeof value;
        if (Fget32(fbfr, id, oc, value, &got_len) == 1 && got_len > sizeof value) std::abort();
        Foccur32(fbfr, id);
    }
    // The attributes the agent reads from every reply.
    for (FLDID32 field : {zta::fld::TA_OCCURS, zta::fld::TA_MORE, zta::fld::TA_STATE, zta::fld::TA_CURSOR}) {
        FLDLEN32 len = sizeof value;
        Fget32(fbfr, field, 0, value, &len);
        Ffind32(fbfr, field, 1, &len);
        Foccur32(fbfr, field);
    }
    Ffprint32(fbfr, sink);

    // Every view of the project, and the /Q tables' readers.
    for (const zta::TableMeta& table : zta::kTables) {
        if (*table.view == '\0') continue;
        std::string name = table.view;  // a writable copy: the VIEW32 calls take char*
        char* view = name.data();
        const long need = tuxsim_Fvsize32(view);
        if (need <= 0) std::abort();  // the project's views always load
        std::vector<char> record(static_cast<std::size_t>(need) + 1, '\x5a');
        Fvftos32(fbfr, record.data(), view);
        if (record.back() != '\x5a') std::abort();
    }
    for (long occurrence = 0; occurrence < 2; ++occurrence) {
        FillQueueRow<zta_txappq_data_t>(fbfr, occurrence);
        FillQueueRow<zta_txqmsg_data_t>(fbfr, occurrence);
        FillQueueRow<zta_txqspcs_data_t>(fbfr, occurrence);
        FillQueueRow<zta_txqtran_data_t>(fbfr, occurrence);
    }

    // Writers on what is left: deleting the first field and changing one.
    FLDID32 first = FIRSTFLDID;
    FLDOCC32 first_oc = 0;
    if (Fnext32(fbfr, &first, &first_oc, nullptr, nullptr) == 1) Fdel32(fbfr, first, 0);
    long occurs = 1;
    Fchg32(fbfr, zta::fld::TA_OCCURS, 0, reinterpret_cast<char*>(&occurs), 0);
    id = FIRSTFLDID;
    oc = 0;
    steps = 0;
    while (Fnext32(fbfr, &id, &oc, nullptr, nullptr) == 1) {
        if (++steps > block / fml::kRecordHeader) std::abort();
    }
    return 0;
}
