// Moving typed values between the domain model and FML32 buffers.
#ifndef TUXSIM_FML_VALUES_HPP
#define TUXSIM_FML_VALUES_HPP

#include <string>

#include "domain_model.hpp"

namespace tuxsim::detail {

// Reads occurrence oc of id into v (by the field's type). False when absent.
bool read_field(FBFR32* fb, FLDID32 id, FLDOCC32 oc, Value& v);

// The value as text: numbers in decimal, strings and carrays as they are.
std::string value_text(int type, const Value& v);

// Builds an FML32 reply inside a tpalloc buffer, growing it as needed.
class ReplyWriter {
public:
    // *buf must be a live FML32 tpalloc buffer; it is cleared.
    explicit ReplyWriter(char** buf);

    // Makes room for about `fields` more fields holding `bytes` of values.
    bool reserve(long fields, long bytes);
    // Appends one occurrence; false when the buffer could not be grown.
    bool add(FLDID32 id, const Value& v);
    bool add_long(FLDID32 id, long n);
    bool add_text(FLDID32 id, const std::string& s);

private:
    bool grow(long at_least);
    FBFR32* fb() const { return reinterpret_cast<FBFR32*>(*buf_); }

    char** buf_;
};

}  // namespace tuxsim::detail

#endif
