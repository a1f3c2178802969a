// Round trip through the real view files: an FML32 reply holding a distinct
// value for every bound attribute, converted with Fvftos32, must put each value
// at the offset the table description gives its column, and must leave the
// members bound to no attribute alone.
#include <fml32.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "zta_fields.h"
#include "zta_tables.h"

namespace {

// The view and field tables are located through the environment; set it
// before the first FML32 call, which loads and caches them.
void UseProjectViewsAndFields() {
    std::string files;
    for (const zta::TableMeta& t : zta::kTables) {
        if (t.view[0] == '\0') continue;
        if (!files.empty()) files += ',';
        files += t.view;
    }
    setenv("VIEWDIR32", PROJECT_VIEWS_DIR, 1);
    setenv("VIEWFILES32", files.c_str(), 1);
    setenv("FLDTBLDIR32", TUXSIM_FIELDS_DIR, 1);
    setenv("FIELDTBLS32", "tpadm", 1);
}

struct FreeBuffer {
    void operator()(FBFR32* fbfr) const { Ffree32(fbfr); }
};
using Buffer = std::unique_ptr<FBFR32, FreeBuffer>;

// Distinct per table and column, so a value that lands in the wrong member
// (or the wrong table's view) is noticed.
long IntValue(int table, unsigned column) {
    return 100000L * table + 100L * column + 7;
}

std::string TextValue(int table, unsigned column, unsigned width) {
    std::string value = "t" + std::to_string(table) + "c" + std::to_string(column) + "xyzxyzxyz";
    value.resize(width - 1);  // leaves room for the terminating NUL
    return value;
}

int32_t IntAt(const std::vector<char>& record, unsigned offset) {
    int32_t value;
    std::memcpy(&value, record.data() + offset, sizeof value);
    return value;
}

constexpr char kUntouched = 'U';

TEST(ViewConversion, EveryBoundAttributeLandsAtItsColumn) {
    UseProjectViewsAndFields();
    {
        std::vector<char> probe(zta::kTables[0].row_size);
        std::string view = zta::kTables[0].view;
        if (Fvsinit32(probe.data(), view.data()) == -1)
            GTEST_SKIP() << "VIEW32 not available: " << Fstrerror32(Ferror32);
    }
    for (const zta::TableMeta& t : zta::kTables) {
        if (t.view[0] == '\0') continue;
        SCOPED_TRACE(t.view);
        std::string view = t.view;

        Buffer reply(Falloc32(2 * t.num_columns, 8192));
        ASSERT_NE(reply, nullptr);
        for (unsigned k = 0; k < t.num_columns; ++k) {
            const zta::ColumnMeta& c = t.columns[k];
            if (c.attribute[0] == '\0') continue;
            const FLDID32 id = Fldid32(zta_text(c.attribute));
            ASSERT_NE(id, BADFLDID) << c.attribute;
            if (c.type == zta::kColumnTypeInteger) {
                const long value = IntValue(t.number, k);
                ASSERT_NE(Fchg32(reply.get(), id, 0, zta_value(value), 0), -1)
                    << c.attribute;
            } else {
                const std::string value = TextValue(t.number, k, c.size);
                ASSERT_NE(Fchg32(reply.get(), id, 0, zta_text(value.c_str()), 0), -1) << c.attribute;
            }
        }

        std::vector<char> record(t.row_size, '\x5a');
        ASSERT_NE(Fvsinit32(record.data(), view.data()), -1) << Fstrerror32(Ferror32);
        for (unsigned k = 0; k < t.num_columns; ++k) {
            const zta::ColumnMeta& c = t.columns[k];
            SCOPED_TRACE(c.name);
            if (c.type == zta::kColumnTypeInteger)
                EXPECT_EQ(IntAt(record, c.offset), 0);
            else
                EXPECT_EQ(record[c.offset], '\0');
            if (c.attribute[0] == '\0') std::memset(record.data() + c.offset, kUntouched, c.size);
        }

        ASSERT_NE(Fvftos32(reply.get(), record.data(), view.data()), -1) << Fstrerror32(Ferror32);
        for (unsigned k = 0; k < t.num_columns; ++k) {
            const zta::ColumnMeta& c = t.columns[k];
            SCOPED_TRACE(c.name);
            if (c.attribute[0] == '\0') {
                EXPECT_EQ(std::string(record.data() + c.offset, c.size),
                          std::string(c.size, kUntouched));
            } else if (c.type == zta::kColumnTypeInteger) {
                EXPECT_EQ(IntAt(record, c.offset), IntValue(t.number, k));
            } else {
                EXPECT_EQ(std::string(record.data() + c.offset, c.size),
                          TextValue(t.number, k, c.size) + std::string(1, '\0'));
            }
        }
    }
}

}  // namespace
