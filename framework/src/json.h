// JSON Lines encoding of delivered rows and situation events. The output is
// valid UTF-8 JSON whatever bytes a row holds: control characters are
// escaped and every invalid UTF-8 sequence becomes U+FFFD.
#ifndef AGW_JSON_H
#define AGW_JSON_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "agw_types.h"

namespace agw {

// The bytes with every invalid UTF-8 sequence replaced by U+FFFD.
std::string ValidUtf8(std::string_view bytes);

// The most bytes a JSON string of n bytes takes: quotes, and each byte
// escaped as \u00XX.
constexpr std::size_t JsonStringBound(std::size_t n) { return 2 + 6 * n; }
// Writes bytes as a quoted JSON string at p, which has room for
// JsonStringBound(bytes.size()) bytes; returns the end of what it wrote.
char* WriteJsonString(char* p, std::string_view bytes);
// Appends bytes as a quoted JSON string.
void AppendJsonString(std::string& out, std::string_view bytes);

// The JSON form of the rows of one request, prepared once from the table
// object's column descriptions:
//   {"table":"T","request":"R","row":{"originnode":"n","sampleno":1,...}}
// Keys are the lower-case column names; integers are numbers; text is cut at
// the first NUL or the width with trailing blanks removed. A column that
// does not lie inside the row, or of an unknown type, is written as null.
class RowFormat {
public:
    RowFormat(std::string_view table, std::string_view request, const std::vector<ColumnInfo>& columns);
    // Appends one row and a newline; a non-empty time (UtcTime) follows the
    // row as "time".
    void Append(std::string& out, const char* row, std::size_t rowSize, std::string_view time = {}) const;
    // The most bytes one row and its newline can take.
    std::size_t MaxBytes() const { return maxBytes_; }
    // Writes one row and a newline at p, which has room for MaxBytes();
    // returns the end of what it wrote. time as for Append, at most
    // kUtcTimeBytes long.
    char* Write(char* p, const char* row, std::size_t rowSize, std::string_view time = {}) const;

private:
    // Keys up to this long are copied as one fixed-size block.
    static constexpr std::size_t kShortKey = 32;
    struct Column {
        std::string key;  // "\"name\":"
        char shortKey[kShortKey];  // the key, zero-padded, when it fits
        std::size_t offset;
        std::size_t size;
        unsigned type;
    };
    std::string prefix_;
    std::vector<Column> columns_;
    std::size_t maxBytes_ = 0;
};

// {"situation":"S","table":"T","state":"raised"|"cleared","rows":N} and a
// newline; a non-empty time follows as "time":"...".
void AppendSituationEvent(std::string& out, std::string_view situation, std::string_view table,
                          bool raised, std::uint32_t rows, std::string_view time = {});

// The record that follows every sample of a request:
// {"sample":N,"request":"R","table":"T","rows":R,"complete":true} and a
// newline, rows being the rows delivered; an incomplete sample has
// "complete":false and its "reason"; a non-empty time follows as "time".
void AppendSampleRecord(std::string& out, std::uint32_t sample, std::string_view request, std::string_view table,
                        std::uint32_t rows, bool complete, std::string_view reason, std::string_view time = {});

// The most bytes UtcTime gives.
constexpr std::size_t kUtcTimeBytes = 20;
// ISO 8601 in UTC to the second, "2026-12-09T18:20:05Z".
std::string UtcTime(std::time_t seconds);

}  // namespace agw

#endif
