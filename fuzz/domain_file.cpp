// Domain files: any bytes as the file TUXSIM_DOMAIN names. The reader must
// return a domain or throw DomainError; any other exception, crash or hang
// is a fault.
#include <cstdlib>

#include "domain_file.hpp"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("FLDTBLDIR32", ZTA_FUZZ_FIELDS_DIR, 1);
    ::unsetenv("FIELDTBLS32");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static zfuzz::InputFile file;
    file.Set(data, size);
    try {
        tuxsim::detail::load_domain_file(file.path());
    } catch (const tuxsim::detail::DomainError& e) {
        zfuzz::Show(e.what());
    }
    return 0;
}
