// JSON Lines encoding (see json.h).
#include "json.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#include "agw_internal.h"
#include "ascii.h"

namespace agw {

namespace {

constexpr char kHex[] = "0123456789abcdef";
constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at s[0..n), or 0 when it is not
// one; *bad is then the length of its longest valid prefix (at least 1), the
// bytes that one U+FFFD stands for.
std::size_t Utf8Sequence(const unsigned char* s, std::size_t n, std::size_t* bad) {
    unsigned char c = s[0];
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        need = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 3;
        if (c == 0xE0) lo = 0xA0;        // no overlong forms
        if (c == 0xED) hi = 0x9F;        // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 4;
        if (c == 0xF0) lo = 0x90;        // no overlong forms
        if (c == 0xF4) hi = 0x8F;        // nothing above U+10FFFF
    } else {
        *bad = 1;
        return 0;
    }
    std::size_t i = 1;
    if (i < n && s[i] >= lo && s[i] <= hi) {
        ++i;
        while (i < need && i < n && IsContinuation(s[i])) ++i;
    }
    if (i == need) return need;
    *bad = i;
    return 0;
}

// How the string writer treats each byte: copied as it is, escaped, or the
// start of a multi-byte sequence to check.
enum : unsigned char { kPlain, kEscape, kMultiByte };
constexpr auto kByteClass = [] {
    std::array<unsigned char, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[static_cast<std::size_t>(c)] =
            c < 0x20 || c == '"' || c == '\\' ? kEscape : (c < 0x80 ? kPlain : kMultiByte);
    }
    return table;
}();

// True when none of the eight bytes of x needs more than a copy: no control
// character, quote, backslash or byte above 0x7F.
bool AllPlain(std::uint64_t x) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
    auto has_zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHigh; };
    const std::uint64_t control = (x - kOnes * 0x20) & ~x & kHigh;  // a byte below 0x20
    return ((x & kHigh) | control | has_zero(x ^ (kOnes * '"')) | has_zero(x ^ (kOnes * '\\'))) == 0;
}

}  // namespace

std::string ValidUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (s[i] < 0x80) {
            out.push_back(bytes[i++]);
            continue;
        }
        std::size_t bad = 1;
        std::size_t len = Utf8Sequence(s + i, bytes.size() - i, &bad);
        if (len > 0) {
            out.append(bytes.data() + i, len);
            i += len;
        } else {
            out.append(kReplacement);
            i += bad;
        }
    }
    return out;
}

char* WriteJsonString(char* p, std::string_view bytes) {
    *p++ = '"';
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        // Copy the run of plain characters in one go.
        std::size_t j = i;
        for (std::uint64_t word; j + 8 <= n; j += 8) {
            std::memcpy(&word, s + j, sizeof word);
            if (!AllPlain(word)) break;
        }
        while (j < n && kByteClass[s[j]] == kPlain) ++j;
        std::memcpy(p, s + i, j - i);
        p += j - i;
        i = j;
        if (i == n) break;
        unsigned char c = s[i];
        if (c < 0x80) {
            *p++ = '\\';
            switch (c) {
                case '"': *p++ = '"'; break;
                case '\\': *p++ = '\\'; break;
                case '\b': *p++ = 'b'; break;
                case '\f': *p++ = 'f'; break;
                case '\n': *p++ = 'n'; break;
                case '\r': *p++ = 'r'; break;
                case '\t': *p++ = 't'; break;
                default:
                    *p++ = 'u';
                    *p++ = '0';
                    *p++ = '0';
                    *p++ = kHex[c >> 4];
                    *p++ = kHex[c & 0xF];
            }
            ++i;
            continue;
        }
        std::size_t bad = 1;
        std::size_t len = Utf8Sequence(s + i, n - i, &bad);
        if (len > 0) {
            std::memcpy(p, s + i, len);
            p += len;
            i += len;
        } else {
            std::memcpy(p, kReplacement, 3);
            p += 3;
            i += bad;
        }
    }
    *p++ = '"';
    return p;
}

void AppendJsonString(std::string& out, std::string_view bytes) {
    const std::size_t at = out.size();
    out.resize(at + JsonStringBound(bytes.size()));
    char* end = WriteJsonString(out.data() + at, bytes);
    out.resize(static_cast<std::size_t>(end - out.data()));
}

RowFormat::RowFormat(std::string_view table, std::string_view request,
                     const std::vector<ColumnInfo>& columns) {
    prefix_ = "{\"table\":";
    AppendJsonString(prefix_, table);
    prefix_ += ",\"request\":";
    AppendJsonString(prefix_, request);
    prefix_ += ",\"row\":{";
    // "}}\n", the last short key's block and ,"time":"...".
    maxBytes_ = prefix_.size() + 3 + kShortKey + 10 + kUtcTimeBytes;
    columns_.reserve(columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const ColumnInfo& info = columns[i];
        const std::string name = zcommon::ToLower(info.name != nullptr ? info.name : "column" + std::to_string(i));
        Column column{std::string(i == 0 ? "" : ","), {}, info.offset, info.size, info.type};
        AppendJsonString(column.key, name);
        column.key.push_back(':');
        if (column.key.size() <= kShortKey) std::memcpy(column.shortKey, column.key.data(), column.key.size());
        // The most a value can take: a quoted text of escapes, an integer, null.
        maxBytes_ += column.key.size() + std::max<std::size_t>(JsonStringBound(info.size), 11);
        columns_.push_back(std::move(column));
    }
}

char* RowFormat::Write(char* p, const char* row, std::size_t rowSize, std::string_view time) const {
    std::memcpy(p, prefix_.data(), prefix_.size());
    p += prefix_.size();
    for (const Column& column : columns_) {
        // A short key goes as one block; the bytes past it are overwritten next.
        if (column.key.size() <= kShortKey) {
            std::memcpy(p, column.shortKey, kShortKey);
        } else {
            std::memcpy(p, column.key.data(), column.key.size());
        }
        p += column.key.size();
        bool inside = column.offset <= rowSize && column.size <= rowSize - column.offset;
        const char* field = row + column.offset;
        if (inside && column.type == AGW_COLTYPE_INTEGER && column.size == sizeof(std::int32_t)) {
            std::int32_t value;
            std::memcpy(&value, field, sizeof value);
            p = std::to_chars(p, p + 11, value).ptr;  // "-2147483648" at most
        } else if (inside && column.type == AGW_COLTYPE_TEXT) {
            p = WriteJsonString(p, FieldText(field, static_cast<int>(column.size)));
        } else {
            std::memcpy(p, "null", 4);
            p += 4;
        }
    }
    if (time.empty()) {
        std::memcpy(p, "}}\n", 3);
        return p + 3;
    }
    time = time.substr(0, kUtcTimeBytes);
    std::memcpy(p, "},\"time\":\"", 10);
    p += 10;
    std::memcpy(p, time.data(), time.size());
    p += time.size();
    std::memcpy(p, "\"}\n", 3);
    return p + 3;
}

void RowFormat::Append(std::string& out, const char* row, std::size_t rowSize, std::string_view time) const {
    const std::size_t at = out.size();
    out.resize(at + maxBytes_);
    char* end = Write(out.data() + at, row, rowSize, time);
    out.resize(static_cast<std::size_t>(end - out.data()));
}

void AppendSituationEvent(std::string& out, std::string_view situation, std::string_view table,
                          bool raised, std::uint32_t rows, std::string_view time) {
    out += "{\"situation\":";
    AppendJsonString(out, situation);
    out += ",\"table\":";
    AppendJsonString(out, table);
    out += raised ? ",\"state\":\"raised\",\"rows\":" : ",\"state\":\"cleared\",\"rows\":";
    out += std::to_string(rows);
    if (!time.empty()) {
        out += ",\"time\":";
        AppendJsonString(out, time);
    }
    out += "}\n";
}

void AppendSampleRecord(std::string& out, std::uint32_t sample, std::string_view request, std::string_view table,
                        std::uint32_t rows, bool complete, std::string_view reason, std::string_view time) {
    out += "{\"sample\":";
    out += std::to_string(sample);
    out += ",\"request\":";
    AppendJsonString(out, request);
    out += ",\"table\":";
    AppendJsonString(out, table);
    out += ",\"rows\":";
    out += std::to_string(rows);
    out += complete ? ",\"complete\":true" : ",\"complete\":false";
    if (!complete) {
        out += ",\"reason\":";
        AppendJsonString(out, reason);
    }
    if (!time.empty()) {
        out += ",\"time\":";
        AppendJsonString(out, time);
    }
    out += "}\n";
}

std::string UtcTime(std::time_t seconds) {
    std::tm utc{};
    if (gmtime_r(&seconds, &utc) == nullptr) return {};
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return n > 0 && n <= kUtcTimeBytes ? std::string(text, n) : std::string();
}

}  // namespace agw
