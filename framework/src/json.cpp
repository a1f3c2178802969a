// JSON Lines encoding (see json.h).
#include "json.h"

#include <cstring>

#include "agw_internal.h"

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

void AppendJsonString(std::string& out, std::string_view bytes) {
    out.push_back('"');
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            // Copy the run of plain characters in one go.
            std::size_t j = i + 1;
            while (j < n && s[j] >= 0x20 && s[j] < 0x80 && s[j] != '"' && s[j] != '\\') ++j;
            out.append(bytes.data() + i, j - i);
            i = j;
            continue;
        }
        if (c < 0x80) {
            out.push_back('\\');
            switch (c) {
                case '"': out.push_back('"'); break;
                case '\\': out.push_back('\\'); break;
                case '\b': out.push_back('b'); break;
                case '\f': out.push_back('f'); break;
                case '\n': out.push_back('n'); break;
                case '\r': out.push_back('r'); break;
                case '\t': out.push_back('t'); break;
                default:
                    out.append("u00");
                    out.push_back(kHex[c >> 4]);
                    out.push_back(kHex[c & 0xF]);
            }
            ++i;
            continue;
        }
        std::size_t bad = 1;
        std::size_t len = Utf8Sequence(s + i, n - i, &bad);
        if (len > 0) {
            out.append(bytes.data() + i, len);
            i += len;
        } else {
            out.append(kReplacement);
            i += bad;
        }
    }
    out.push_back('"');
}

RowFormat::RowFormat(std::string_view table, std::string_view request,
                     const std::vector<ColumnInfo>& columns) {
    prefix_ = "{\"table\":";
    AppendJsonString(prefix_, table);
    prefix_ += ",\"request\":";
    AppendJsonString(prefix_, request);
    prefix_ += ",\"row\":{";
    columns_.reserve(columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const ColumnInfo& info = columns[i];
        std::string name = info.name != nullptr ? info.name : "column" + std::to_string(i);
        for (char& ch : name) {
            if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        }
        Column column{std::string(i == 0 ? "" : ","), info.offset, info.size, info.type};
        AppendJsonString(column.key, name);
        column.key.push_back(':');
        columns_.push_back(std::move(column));
    }
}

void RowFormat::Append(std::string& out, const char* row, std::size_t rowSize) const {
    out += prefix_;
    for (const Column& column : columns_) {
        out += column.key;
        bool inside = column.offset <= rowSize && column.size <= rowSize - column.offset;
        const char* field = row + column.offset;
        if (inside && column.type == AGW_COLTYPE_INTEGER && column.size == sizeof(std::int32_t)) {
            std::int32_t value;
            std::memcpy(&value, field, sizeof value);
            out += std::to_string(value);
        } else if (inside && column.type == AGW_COLTYPE_TEXT) {
            AppendJsonString(out, FieldText(field, static_cast<int>(column.size)));
        } else {
            out += "null";
        }
    }
    out += "}}\n";
}

void AppendSituationEvent(std::string& out, std::string_view situation, std::string_view table,
                          bool raised, std::uint32_t rows) {
    out += "{\"situation\":";
    AppendJsonString(out, situation);
    out += ",\"table\":";
    AppendJsonString(out, table);
    out += raised ? ",\"state\":\"raised\",\"rows\":" : ",\"state\":\"cleared\",\"rows\":";
    out += std::to_string(rows);
    out += "}\n";
}

}  // namespace agw
