// AGW_TRACE settings: any text as the setting. TRC1_Configure must take it or
// fall back to the default, and the units' masks must then be readable.
#include "agw_trace.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string setting = zfuzz::Text(data, size);
    const int rc = TRC1_Configure(setting.c_str());
    static TRC1_Block blocks[] = {
        {"ZTA300", "zta01agt", "TakeSample", {}},
        {"ZTA300", "ZTACYCLE", "Loop", {}},
        {"AGW130", "", "Empty", {}},
        {"AGW130", nullptr, "NoUnit", {}},
    };
    for (TRC1_Block& block : blocks) {
        const unsigned mask = TRC1_Sync(&block);
        if (rc != 0 && mask != AGW_TRC_DEFAULT) std::abort();  // a bad setting leaves the default
        // Written to standard error, which the fuzz run discards.
        AGW_TRACE(block, AGW_TRC_ERROR, "mask 0x%x\n", mask);
    }
    return 0;
}
