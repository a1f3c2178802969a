#include "fml_values.hpp"

#include <cstring>

#include "buffers.hpp"

namespace tuxsim::detail {
namespace {

// A value of type T stored at p, which need not be aligned for T.
template <class T>
T load(const char* p) {
    T v{};
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

bool read_field(FBFR32* fb, FLDID32 id, FLDOCC32 oc, Value& v) {
    FLDLEN32 len = 0;
    const char* p = Ffind32(fb, id, oc, &len);
    if (!p) return false;
    v = Value{};
    switch (Fldtype32(id)) {
        case FLD_SHORT:
            v.num = load<short>(p);
            break;
        case FLD_LONG:
            v.num = load<long>(p);
            break;
        case FLD_CHAR:
            v.num = static_cast<unsigned char>(*p);
            break;
        case FLD_FLOAT:
            v.real = load<float>(p);
            break;
        case FLD_DOUBLE:
            v.real = load<double>(p);
            break;
        case FLD_STRING:
            v.text.assign(p, strnlen(p, len));
            break;
        default:
            v.text.assign(p, len);
            break;
    }
    return true;
}

std::string value_text(int type, const Value& v) {
    switch (type) {
        case FLD_SHORT:
        case FLD_LONG:
            return std::to_string(v.num);
        case FLD_CHAR:
            return std::string(1, static_cast<char>(v.num));
        case FLD_FLOAT:
        case FLD_DOUBLE:
            return std::to_string(v.real);
        default:
            return v.text;
    }
}

ReplyWriter::ReplyWriter(char** buf) : buf_(buf) {
    BufferInfo info;
    buffer_info(*buf_, info);
    Finit32(fb(), FLDLEN32(info.size));
}

bool ReplyWriter::grow(long at_least) {
    BufferInfo info;
    if (!buffer_info(*buf_, info)) return false;
    long size = info.size;
    while (size < at_least) size = size > (1L << 29) ? at_least : size * 2;
    if (size == info.size) return true;
    char* np = buffer_resize(*buf_, size);
    if (!np) return false;
    *buf_ = np;
    return true;
}

bool ReplyWriter::reserve(long fields, long bytes) {
    long need = Fused32(fb()) + Fneeded32(FLDOCC32(fields), FLDLEN32(bytes));
    BufferInfo info;
    if (!buffer_info(*buf_, info)) return false;
    return need <= info.size || grow(need);
}

bool ReplyWriter::add(FLDID32 id, const Value& v) {
    const int type = Fldtype32(id);
    short s = 0;
    char c = 0;
    float f = 0;
    const char* data = nullptr;
    FLDLEN32 len = 0;
    switch (type) {
        case FLD_SHORT:
            s = static_cast<short>(v.num);
            data = reinterpret_cast<const char*>(&s);
            break;
        case FLD_LONG:
            data = reinterpret_cast<const char*>(&v.num);
            break;
        case FLD_CHAR:
            c = static_cast<char>(v.num);
            data = &c;
            break;
        case FLD_FLOAT:
            f = static_cast<float>(v.real);
            data = reinterpret_cast<const char*>(&f);
            break;
        case FLD_DOUBLE:
            data = reinterpret_cast<const char*>(&v.real);
            break;
        default:
            data = v.text.c_str();
            len = FLDLEN32(v.text.size());
            break;
    }
    for (;;) {
        if (Fadd32(fb(), id, const_cast<char*>(data), len) >= 0) return true;
        if (Ferror32 != FNOSPACE) return false;
        if (!grow(Fsizeof32(fb()) * 2)) return false;
    }
}

bool ReplyWriter::add_long(FLDID32 id, long n) {
    Value v;
    v.num = n;
    return add(id, v);
}

bool ReplyWriter::add_text(FLDID32 id, const std::string& s) {
    Value v;
    v.text = s;
    return add(id, v);
}

}  // namespace tuxsim::detail
