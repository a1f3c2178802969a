// Request files: any bytes as the file AGW_CONFIG names. LoadConfig must
// return, with either a checked configuration or an error.
#include <cstdlib>
#include <cstring>

#include "config.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static zfuzz::InputFile file;
    file.Set(data, size);
    agw::Config config;
    std::string error;
    const bool loaded = agw::LoadConfig(file.path(), &config, &error);
    zfuzz::Show(error);
    if (loaded) {
        // A loaded file holds at least one request, each named, with an
        // interval in range.
        if (config.requests.empty() || !error.empty()) std::abort();
        for (const agw::ConfigRequest& r : config.requests) {
            if (r.detail.name.empty() || r.detail.interval < agw::kMinInterval ||
                r.detail.interval > agw::kMaxInterval)
                std::abort();
        }
    } else if (error.empty()) {
        std::abort();  // a refusal says why
    }
    return 0;
}
