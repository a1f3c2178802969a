// FML32 buffers and fields: one contiguous, relocatable block per buffer (see
// fml_internal.h for the layout). Every call checks the header first and every
// record before it reads or steps over it, so a damaged buffer is refused with
// FNOTFLD and never read past its end.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "fml_internal.h"
#include "tuxsim_fml.h"

namespace fml {

int fixed_size(int type) {
    switch (type) {
        case FLD_SHORT: return sizeof(short);
        case FLD_LONG: return sizeof(long);
        case FLD_CHAR: return sizeof(char);
        case FLD_FLOAT: return sizeof(float);
        case FLD_DOUBLE: return sizeof(double);
        case FLD_STRING:
        case FLD_CARRAY: return 0;
        default: return -1;
    }
}

bool valid_id(FLDID32 id) { return (id & kMaxFieldNumber) != 0 && field_type(id) <= kMaxType; }

// The error for an identifier that names no storable field, 0 when it is fine.
static int id_error(FLDID32 id) {
    if ((id & kMaxFieldNumber) == 0) return FBADFLD;
    if (field_type(id) > kMaxType) return FTYPERR;
    return 0;
}

bool Buffer::open(FBFR32* fbfr) {
    if (fbfr == nullptr) return fail(FNOTFLD), false;
    base_ = reinterpret_cast<unsigned char*>(fbfr);
    std::memcpy(&hdr_, base_, sizeof hdr_);
    const bool sane = hdr_.magic == kMagic && hdr_.size >= kHeaderSize && hdr_.used >= kHeaderSize &&
                      hdr_.used <= hdr_.size && hdr_.used % kAlign == 0;
    if (!sane) return fail(FNOTFLD), false;
    if (hdr_.used == kHeaderSize) {
        if (hdr_.last != 0) return fail(FNOTFLD), false;
        return true;
    }
    // The last record must lie in the used part and end exactly at its end.
    if (hdr_.last < kHeaderSize || hdr_.last >= hdr_.used || hdr_.last % kAlign != 0) return fail(FNOTFLD), false;
    Record last;
    if (!read(hdr_.last, last)) return false;
    if (std::uint64_t(last.off) + last.total != hdr_.used) return fail(FNOTFLD), false;
    return true;
}

bool Buffer::read(std::uint32_t off, Record& rec) const {
    if (off < kHeaderSize || off % kAlign != 0 || std::uint64_t(off) + kRecordHeader > hdr_.used)
        return fail(FNOTFLD), false;
    std::memcpy(&rec.id, base_ + off, sizeof rec.id);
    std::memcpy(&rec.len, base_ + off + sizeof rec.id, sizeof rec.len);
    rec.off = off;
    if (!valid_id(rec.id)) return fail(FNOTFLD), false;
    const std::uint64_t room = hdr_.used - off - kRecordHeader;
    if (rec.len > room) return fail(FNOTFLD), false;
    const std::uint64_t total = kRecordHeader + round_up(rec.len);
    if (total > hdr_.used - off) return fail(FNOTFLD), false;
    rec.total = static_cast<std::uint32_t>(total);
    const int type = field_type(rec.id);
    const int fixed = fixed_size(type);
    if (fixed > 0 && rec.len != static_cast<FLDLEN32>(fixed)) return fail(FNOTFLD), false;
    // A string holds its terminating NUL, so readers may use it as a C string.
    if (type == FLD_STRING && (rec.len == 0 || value(rec)[rec.len - 1] != '\0')) return fail(FNOTFLD), false;
    return true;
}

// The index of the buffer this thread last looked into: each record met so
// far, and for each field where its occurrences start among them. A real
// FML32 buffer keeps such an index, so that reading the many objects of one
// large reply costs each lookup a search rather than a walk from the start.
// It is made as lookups and view conversions walk the buffer, each record
// read once after the buffer last changed, so no lookup walks further than
// it would without it. thread_local: each thread has its own, and no lock is
// needed.
struct FieldSpan {
    FLDID32 id;
    std::uint32_t first;  // index in records of occurrence 0
    FLDOCC32 count;       // occurrences met so far
};
struct Index {
    const unsigned char* base = nullptr;
    std::uint64_t changes = 0;
    Header header{};
    std::uint32_t next = 0;  // offset of the first record not yet indexed
    std::vector<Record> records;
    std::vector<FieldSpan> fields;
};

namespace {

// Moves on at every change of any buffer's records, so that an index made of
// a buffer before a change is never used after it. Atomic because buffers
// change on any thread; relaxed, since a buffer that passes between threads
// passes with synchronisation of its own.
std::atomic<std::uint64_t> g_changes{0};

void note_change() { g_changes.fetch_add(1, std::memory_order_relaxed); }

thread_local Index t_index;

// What find_indexed returns when the records are out of field order: the
// walk of find decides then, as it always did.
constexpr int kUnindexed = -2;

}  // namespace

Index& Buffer::index(bool afresh) const {
    Index& x = t_index;
    const std::uint64_t changes = g_changes.load(std::memory_order_relaxed);
    if (afresh || x.base != base_ || x.changes != changes || x.header.used != hdr_.used ||
        x.header.last != hdr_.last || x.header.size != hdr_.size) {
        x.base = base_;
        x.changes = changes;
        x.header = hdr_;
        x.next = first();
        x.records.clear();
        x.fields.clear();
    }
    return x;
}

int Buffer::index_next(Index& x) const {
    Record r;
    if (!read(x.next, r)) {
        x.base = nullptr;
        return -1;
    }
    if (!x.fields.empty() && x.fields.back().id == r.id) {
        ++x.fields.back().count;
    } else if (x.fields.empty() || x.fields.back().id < r.id) {
        x.fields.push_back({r.id, static_cast<std::uint32_t>(x.records.size()), 1});
    } else {
        x.base = nullptr;
        return kUnindexed;
    }
    x.records.push_back(r);
    x.next += r.total;
    return 1;
}

int Buffer::find_indexed(FLDID32 id, FLDOCC32 oc, Record& rec) const {
    Index& x = index();
    // Known once a later field, or occurrence oc of this one, has been met.
    auto known = [&] {
        if (x.fields.empty()) return false;
        const FieldSpan& back = x.fields.back();
        return back.id > id || (back.id == id && back.count > oc);
    };
    while (x.next < end() && !known()) {
        if (const int step = index_next(x); step != 1) return step;
    }
    auto span = std::lower_bound(x.fields.begin(), x.fields.end(), id,
                                 [](const FieldSpan& f, FLDID32 want) { return f.id < want; });
    if (span == x.fields.end() || span->id != id || oc >= span->count) return 0;
    // Read again, checked, as a walk would have read it: bytes copied over
    // the buffer by other means than these calls are never read unchecked.
    if (!read(x.records[span->first + static_cast<std::uint32_t>(oc)].off, rec)) return -1;
    if (rec.id != id) {
        x.base = nullptr;
        return kUnindexed;
    }
    return 1;
}

const std::vector<Record>* Buffer::records() const {
    Index& x = index();
    // The records indexed before must still say what they said: bytes
    // copied over the buffer by other means than these calls start the
    // index afresh, every record read and checked again.
    for (const Record& r : x.records) {
        FLDID32 id;
        FLDLEN32 len;
        std::memcpy(&id, base_ + r.off, sizeof id);
        std::memcpy(&len, base_ + r.off + sizeof id, sizeof len);
        if (id != r.id || len != r.len) {
            index(/*afresh=*/true);
            break;
        }
    }
    while (x.next < end()) {
        if (const int step = index_next(x); step != 1) {
            if (step == kUnindexed) fail(FNOTFLD);  // out of field order: damaged
            return nullptr;
        }
    }
    return &x.records;
}

int Buffer::find(FLDID32 id, FLDOCC32 oc, Record& rec, FLDOCC32* count, std::uint32_t* insert_at) const {
    if (count == nullptr && insert_at == nullptr && oc >= 0) {
        const int found = find_indexed(id, oc, rec);
        if (found != kUnindexed) return found;
    }
    FLDOCC32 n = 0;
    std::uint32_t off = first();
    if (hdr_.last != 0) {
        // Fields are ordered by id: one beyond the last field is absent.
        Record last;
        if (!read(hdr_.last, last)) return -1;
        if (last.id < id) off = end();
    }
    while (off < end()) {
        Record r;
        if (!read(off, r)) return -1;
        if (r.id > id) break;
        if (r.id == id) {
            if (n == oc) {
                rec = r;
                return 1;
            }
            ++n;
        }
        off += r.total;
    }
    if (count != nullptr) *count = n;
    if (insert_at != nullptr) *insert_at = off;
    return 0;
}

bool Buffer::splice(std::uint32_t off, std::uint32_t old_len, std::uint64_t new_len, std::uint32_t last_in_new) {
    const std::uint64_t new_used = std::uint64_t(hdr_.used) - old_len + new_len;
    if (new_used > hdr_.size) return fail(FNOSPACE), false;
    const std::uint32_t tail = hdr_.used - (off + old_len);
    std::memmove(base_ + off + new_len, base_ + off + old_len, tail);
    if (tail > 0) {
        hdr_.last = static_cast<std::uint32_t>(hdr_.last - old_len + new_len);
    } else if (new_len > 0) {
        hdr_.last = off + last_in_new;
    } else {
        // The last record went: its predecessor, if any, is the new last.
        hdr_.last = 0;
        for (std::uint32_t at = first(); at < off;) {
            Record r;
            if (!read(at, r)) break;
            if (at + r.total >= off) {
                hdr_.last = at;
                break;
            }
            at += r.total;
        }
    }
    hdr_.used = static_cast<std::uint32_t>(new_used);
    store_header();
    return true;
}

std::uint32_t Buffer::write(std::uint32_t off, FLDID32 id, const void* value, FLDLEN32 len) {
    unsigned char* p = base_ + off;
    std::memcpy(p, &id, sizeof id);
    std::memcpy(p + sizeof id, &len, sizeof len);
    if (len > 0) std::memcpy(p + kRecordHeader, value, len);
    const auto total = static_cast<std::uint32_t>(kRecordHeader + round_up(len));
    std::memset(p + kRecordHeader + len, 0, total - kRecordHeader - len);
    return total;
}

void Buffer::store_header() {
    std::memcpy(base_, &hdr_, sizeof hdr_);
    note_change();
}

bool value_length(FLDID32 id, const char* value, FLDLEN32 len, FLDLEN32& out) {
    const int type = field_type(id);
    const int fixed = fixed_size(type);
    if (fixed < 0) return fail(FTYPERR), false;
    if (fixed > 0) {
        out = static_cast<FLDLEN32>(fixed);
    } else if (type == FLD_STRING) {
        const std::size_t n = std::strlen(value);
        if (n >= kMaxBufferSize) return fail(FNOSPACE), false;
        out = static_cast<FLDLEN32>(n + 1);
    } else {
        out = len;
    }
    return true;
}

}  // namespace fml

using fml::Buffer;
using fml::fail;
using fml::Record;

namespace {

// Checks the arguments common to the field calls; returns false with Ferror32
// set when they are unusable.
bool check_field(Buffer& b, FBFR32* fbfr, FLDID32 id) {
    if (!b.open(fbfr)) return false;
    if (const int err = fml::id_error(id)) return fail(err), false;
    return true;
}

// Finds occurrence oc of a field for the calls that need it present; false
// with Ferror32 set (FNOTPRES when absent).
bool locate(Buffer& b, FBFR32* fbfr, FLDID32 id, FLDOCC32 oc, Record& rec) {
    if (!check_field(b, fbfr, id)) return false;
    if (oc < 0) return fail(FEINVAL), false;
    const int found = b.find(id, oc, rec);
    if (found == 0) fail(FNOTPRES);
    return found == 1;
}

// The stored value of an empty occurrence: zero for numbers and char, the
// empty string, a zero-length carray.
FLDLEN32 empty_length(int type) {
    const int fixed = fml::fixed_size(type);
    return type == FLD_STRING ? 1 : static_cast<FLDLEN32>(fixed);
}

// Copies a value out as Fget32 and Fnext32 do: maxlen (when given) must hold
// the whole value, and then receives its length.
int copy_out(const Buffer& b, const Record& rec, char* loc, FLDLEN32* maxlen) {
    if (maxlen != nullptr && *maxlen < rec.len) return fail(FNOSPACE);
    if (loc != nullptr && rec.len > 0) std::memcpy(loc, b.value(rec), rec.len);
    if (maxlen != nullptr) *maxlen = rec.len;
    return 1;
}

}  // namespace

extern "C" {

long Fneeded32(FLDOCC32 F, FLDLEN32 V) {
    if (F < 0) return fail(FEINVAL);
    // Each field costs a record header and at most one alignment pad.
    const std::uint64_t need = fml::round_up(fml::kHeaderSize + std::uint64_t(F) * (fml::kRecordHeader + fml::kAlign - 1) + V);
    if (need > fml::kMaxBufferSize) return fail(FEINVAL);
    return static_cast<long>(need);
}

FBFR32* Falloc32(FLDOCC32 F, FLDLEN32 V) {
    if (F < 0 || (F == 0 && V == 0)) return fail(FEINVAL), nullptr;
    const long need = Fneeded32(F, V);
    if (need < 0) return nullptr;
    void* p = std::malloc(static_cast<std::size_t>(need));
    if (p == nullptr) return fail(FMALLOC), nullptr;
    auto* fbfr = static_cast<FBFR32*>(p);
    Finit32(fbfr, static_cast<FLDLEN32>(need));
    return fbfr;
}

int Ffree32(FBFR32* fbfr) {
    Buffer b;
    if (!b.open(fbfr)) return -1;
    std::free(fbfr);
    return 1;
}

int Finit32(FBFR32* fbfr, FLDLEN32 buflen) {
    if (fbfr == nullptr) return fail(FNOTFLD);
    if (reinterpret_cast<std::uintptr_t>(fbfr) % fml::kAlign != 0) return fail(FALIGNERR);
    if (buflen < fml::kHeaderSize) return fail(FNOSPACE);
    fml::Header h{fml::kMagic, static_cast<std::uint32_t>(std::min<std::uint64_t>(buflen, fml::kMaxBufferSize)),
                  fml::kHeaderSize, 0};
    std::memcpy(fbfr, &h, sizeof h);
    fml::note_change();
    return 1;
}

long Fsizeof32(FBFR32* fbfr) {
    Buffer b;
    return b.open(fbfr) ? static_cast<long>(b.header().size) : -1;
}

long Fused32(FBFR32* fbfr) {
    Buffer b;
    return b.open(fbfr) ? static_cast<long>(b.header().used) : -1;
}

int Fchg32(FBFR32* fbfr, FLDID32 fieldid, FLDOCC32 oc, char* value, FLDLEN32 len) {
    Buffer b;
    if (!check_field(b, fbfr, fieldid)) return -1;
    if (oc < 0) return fail(FEINVAL);
    Record rec;
    FLDOCC32 count = 0;
    std::uint32_t insert_at = 0;
    const int found = b.find(fieldid, oc, rec, &count, &insert_at);
    if (found < 0) return -1;
    if (value == nullptr) {
        // No value: the occurrence goes (nothing to do when it is absent).
        if (found == 1 && !b.splice(rec.off, rec.total, 0, 0)) return -1;
        return 1;
    }
    FLDLEN32 vlen = 0;
    if (!fml::value_length(fieldid, value, len, vlen)) return -1;
    const std::uint64_t vtotal = fml::kRecordHeader + fml::round_up(vlen);
    if (found == 1) {
        if (!b.splice(rec.off, rec.total, vtotal, 0)) return -1;
        b.write(rec.off, fieldid, value, vlen);
        return 1;
    }
    // Occurrences between the last present one and oc are added empty.
    const int type = fml::field_type(fieldid);
    const FLDLEN32 elen = empty_length(type);
    const std::uint64_t etotal = fml::kRecordHeader + fml::round_up(elen);
    const std::uint64_t gaps = static_cast<std::uint64_t>(oc - count);
    const std::uint64_t total = gaps * etotal + vtotal;
    if (total > fml::kMaxBufferSize || !b.splice(insert_at, 0, total, static_cast<std::uint32_t>(total - vtotal)))
        return fail(FNOSPACE);
    static const unsigned char zeros[8] = {};
    std::uint32_t at = insert_at;
    for (std::uint64_t i = 0; i < gaps; ++i) at += b.write(at, fieldid, zeros, elen);
    b.write(at, fieldid, value, vlen);
    return 1;
}

int Fadd32(FBFR32* fbfr, FLDID32 fieldid, char* value, FLDLEN32 len) {
    Buffer b;
    if (!check_field(b, fbfr, fieldid)) return -1;
    if (value == nullptr) return fail(FEINVAL);
    FLDLEN32 vlen = 0;
    if (!fml::value_length(fieldid, value, len, vlen)) return -1;
    // The new occurrence goes after the field's last one. Adding at or after
    // the last field of the buffer is an append, without a walk.
    std::uint32_t insert_at = b.end();
    if (b.header().last != 0) {
        Record last;
        if (!b.read(b.header().last, last)) return -1;
        if (last.id > fieldid) {
            Record rec;
            if (b.find(fieldid, std::numeric_limits<FLDOCC32>::max(), rec, nullptr, &insert_at) < 0) return -1;
        }
    }
    const std::uint64_t vtotal = fml::kRecordHeader + fml::round_up(vlen);
    if (!b.splice(insert_at, 0, vtotal, 0)) return -1;
    b.write(insert_at, fieldid, value, vlen);
    return 1;
}

int Fget32(FBFR32* fbfr, FLDID32 fieldid, FLDOCC32 oc, char* loc, FLDLEN32* maxlen) {
    Buffer b;
    Record rec;
    if (!locate(b, fbfr, fieldid, oc, rec)) return -1;
    return copy_out(b, rec, loc, maxlen);
}

char* Ffind32(FBFR32* fbfr, FLDID32 fieldid, FLDOCC32 oc, FLDLEN32* len) {
    Buffer b;
    Record rec;
    if (!locate(b, fbfr, fieldid, oc, rec)) return nullptr;
    if (len != nullptr) *len = rec.len;
    return reinterpret_cast<char*>(b.value(rec));
}

FLDOCC32 Foccur32(FBFR32* fbfr, FLDID32 fieldid) {
    Buffer b;
    if (!check_field(b, fbfr, fieldid)) return -1;
    Record rec;
    FLDOCC32 count = 0;
    if (b.find(fieldid, std::numeric_limits<FLDOCC32>::max(), rec, &count) < 0) return -1;
    return count;
}

int Fdel32(FBFR32* fbfr, FLDID32 fieldid, FLDOCC32 oc) {
    Buffer b;
    Record rec;
    if (!locate(b, fbfr, fieldid, oc, rec)) return -1;
    return b.splice(rec.off, rec.total, 0, 0) ? 1 : -1;
}

int Fnext32(FBFR32* fbfr, FLDID32* fieldid, FLDOCC32* oc, char* value, FLDLEN32* len) {
    if (fieldid == nullptr || oc == nullptr) return fail(FEINVAL);
    Buffer b;
    if (!b.open(fbfr)) return -1;
    const bool from_start = *fieldid == FIRSTFLDID;
    FLDID32 prev = BADFLDID;
    FLDOCC32 k = 0;
    for (std::uint32_t off = b.first(); off < b.end();) {
        Record r;
        if (!b.read(off, r)) return -1;
        k = r.id == prev ? k + 1 : 0;
        prev = r.id;
        if (from_start || r.id > *fieldid || (r.id == *fieldid && k > *oc)) {
            if (copy_out(b, r, value, len) < 0) return -1;
            *fieldid = r.id;
            *oc = k;
            return 1;
        }
        off += r.total;
    }
    return 0;
}

FLDID32 Fmkfldid32(int type, FLDID32 num) {
    if (type < FLD_SHORT || type > fml::kMaxType) return fail(FTYPERR), BADFLDID;
    if (num == 0 || num > fml::kMaxFieldNumber) return fail(FBADFLD), BADFLDID;
    return (static_cast<FLDID32>(type) << 25) | num;
}

int Fldtype32(FLDID32 fieldid) { return fml::field_type(fieldid); }

long Fldno32(FLDID32 fieldid) { return static_cast<long>(fieldid & fml::kMaxFieldNumber); }

}  // extern "C"

extern "C" int tuxsim_Fresize32(FBFR32* fbfr, FLDLEN32 buflen) {
    Buffer b;
    if (!b.open(fbfr)) return -1;
    if (buflen < b.header().used) return fail(FNOSPACE);
    fml::Header h = b.header();
    h.size = static_cast<std::uint32_t>(std::min<std::uint64_t>(buflen, fml::kMaxBufferSize));
    std::memcpy(fbfr, &h, sizeof h);
    fml::note_change();
    return 1;
}
