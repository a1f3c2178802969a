// Internals shared by the FML32 and VIEW32 units: the per-thread error, the
// buffer layout and the bounded walk over a buffer's records.
//
// Buffer layout (all integers in host byte order, read and written with
// memcpy so that a buffer copied to any address stays readable):
//
//   offset 0   Header { magic, size, used, last }      16 bytes
//   offset 16  records, each aligned to 8:
//                FLDID32 id, FLDLEN32 len, len bytes of value, pad to 8
//
// `size` is the capacity of the block, `used` the bytes in use (header
// included), `last` the offset of the last record (0 when there is none).
// Records are kept ordered by field id, occurrences of one field in order, so
// a walk meets fields in id order. Values start 8 bytes into an 8-aligned
// record, so in an 8-aligned buffer every value is aligned for long and double.
#ifndef TUXSIM_FML_INTERNAL_H
#define TUXSIM_FML_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fml32.h"

namespace fml {

// Sets the calling thread's Ferror32.
void set_error(int code);

// Returns -1 after setting Ferror32 to code: the usual failure return.
inline int fail(int code) {
    set_error(code);
    return -1;
}

constexpr std::uint32_t kMagic = 0x46424633;  // "3FBF": fielded buffer, FML32
constexpr std::uint32_t kHeaderSize = 16;
constexpr std::uint32_t kRecordHeader = 8;
constexpr std::uint32_t kAlign = 8;
// Largest block a buffer may describe: its offsets are 32-bit.
constexpr std::uint64_t kMaxBufferSize = 0xFFFFFFF8u;
constexpr int kMaxType = FLD_CARRAY;
constexpr FLDID32 kMaxFieldNumber = (1u << 25) - 1;

inline std::uint64_t round_up(std::uint64_t n) { return (n + (kAlign - 1)) & ~std::uint64_t(kAlign - 1); }

struct Header {
    std::uint32_t magic;
    std::uint32_t size;
    std::uint32_t used;
    std::uint32_t last;
};
static_assert(sizeof(Header) == kHeaderSize);

// One record as found in a buffer.
struct Record {
    std::uint32_t off;    // offset of the record
    FLDID32 id;
    FLDLEN32 len;         // bytes of value
    std::uint32_t total;  // bytes of the whole record, padding included
};

inline int field_type(FLDID32 id) { return static_cast<int>(id >> 25); }

// Size in bytes of a fixed-size type's value, 0 for string and carray, -1 for
// a type this implementation does not know.
int fixed_size(int type);

// Checks that id names a field of a known type.
bool valid_id(FLDID32 id);

struct Index;  // a thread's index of one buffer (fml32.cpp)

// A validated view of a buffer. Every record is checked before it is used or
// stepped over, so a damaged buffer is refused instead of being read past its
// end.
class Buffer {
public:
    // Checks the header; on failure sets FNOTFLD and returns false.
    bool open(FBFR32* fbfr);

    unsigned char* base() const { return base_; }
    const Header& header() const { return hdr_; }
    std::uint32_t first() const { return kHeaderSize; }
    std::uint32_t end() const { return hdr_.used; }

    // Reads and checks the record at off (which must be < end()). On a damaged
    // record sets FNOTFLD and returns false.
    bool read(std::uint32_t off, Record& rec) const;

    const unsigned char* value(const Record& rec) const { return base_ + rec.off + kRecordHeader; }
    unsigned char* value(const Record& rec) { return base_ + rec.off + kRecordHeader; }

    // Finds occurrence oc of id. Returns 1 and fills rec when present, 0 when
    // absent (then `count` holds the field's occurrences and `insert_at` the
    // offset after its last one), -1 on a damaged buffer.
    int find(FLDID32 id, FLDOCC32 oc, Record& rec, FLDOCC32* count = nullptr,
             std::uint32_t* insert_at = nullptr) const;

    // Replaces old_len bytes at off with new_len bytes (contents left for the
    // caller to write), moving the tail and keeping `used` and `last` right.
    // last_in_new is the offset, relative to off, of the last record the caller
    // writes into the new bytes; it matters only when nothing follows them.
    // Sets FNOSPACE and returns false when the block is too small.
    bool splice(std::uint32_t off, std::uint32_t old_len, std::uint64_t new_len, std::uint32_t last_in_new);

    // Writes a record header and value at off (space already made).
    std::uint32_t write(std::uint32_t off, FLDID32 id, const void* value, FLDLEN32 len);

    // Every record in buffer order, each checked, from the calling thread's
    // index of the buffer, made as far as needed for the lookups that
    // follow. Null, with FNOTFLD set, for a damaged buffer or records
    // out of field order. Valid until the thread next looks into another
    // buffer or any buffer changes.
    const std::vector<Record>* records() const;

private:
    // The calling thread's index of this buffer, emptied when asked, when it
    // was made of another buffer or before a change (fml32.cpp).
    Index& index(bool afresh = false) const;
    // Indexes the next record: 1, or -1 for a damaged record (FNOTFLD set)
    // and kUnindexed for records out of field order.
    int index_next(Index& x) const;
    // An occurrence looked up through the index: as find, or kUnindexed.
    int find_indexed(FLDID32 id, FLDOCC32 oc, Record& rec) const;
    void store_header();

    unsigned char* base_ = nullptr;
    Header hdr_{};
};

// The bytes of a value as a record stores it: value points to the caller's
// data, len is as passed to Fchg32/Fadd32. Returns false with FEINVAL or
// FTYPERR set when the value cannot be stored.
bool value_length(FLDID32 id, const char* value, FLDLEN32 len, FLDLEN32& out);

// Reads a T stored at p, whatever p's alignment.
template <typename T>
T load(const unsigned char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// A name as field tables and views spell them: a letter or _, then letters,
// digits and _.
bool is_identifier(const std::string& s);

// Helpers for the files named by the Tuxedo environment (fldtbl.cpp).
// Splits list at sep, dropping empty items and blanks around each item.
std::vector<std::string> split_list(const std::string& list, char sep);
// The directories of the colon-separated variable var, or those of the
// colon-separated fallback (the build's defaults, searched in order) when it
// is unset or empty.
std::vector<std::string> env_dirs(const char* var, const char* fallback);
// The first path of the colon-separated list that names an existing regular
// file, else the list's first path ("" for an empty list).
std::string first_existing_file(const char* list);
// Finds name (a path when it holds a '/') in dirs; empty when not found.
std::string find_file(const std::vector<std::string>& dirs, const std::string& name);
// Parses a whole token as a decimal integer; false when it is not one or does
// not fit.
bool parse_long(const std::string& text, long long& out);

// Forgets the loaded views (view32.cpp), so that the next use reads them again.
void reset_views();

// Field tables (fldtbl.cpp). Return the error code, 0 on success.
int lookup_name(const char* name, FLDID32& id);
// The name of id, or nullptr (with the error code in *err) when not named.
const char* lookup_id(FLDID32 id, int* err);

// The text of a value of type `type` as Fprint32 shows it (printable
// characters as they are, others as \xx hex, backslash doubled) or, with
// escape false, plainly (numbers formatted, strings and carrays as bytes).
std::string format_value(int type, const unsigned char* value, FLDLEN32 len, bool escape);

}  // namespace fml

#endif  // TUXSIM_FML_INTERNAL_H
