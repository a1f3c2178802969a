// The /Q tables' queue-space lists: any three texts as TXAPPQSPACENAME,
// TXQMCONFIG and TXLMID (the input split at its first two NUL bytes), walked
// as a sample walks them; and GetQueueString on its own with any separator,
// output size and start position.
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "zta_queue.h"
#include "zta_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TRC1_Block trace = {"FUZZ", "queue_lists", "walk", {}};
    if (size < 3) return 0;
    const char separator = static_cast<char>(data[0]);
    const std::size_t outsize = data[1];
    const int position = static_cast<signed char>(data[2]);
    const std::string input(reinterpret_cast<const char*>(data + 3), size - 3);

    // The three lists.
    std::string lists[3];
    std::size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        const std::size_t nul = input.find('\0', at);
        lists[i] = input.substr(at, nul == std::string::npos ? std::string::npos : nul - at);
        at = nul == std::string::npos ? input.size() : nul + 1;
    }
    zta_queue_config config;
    const char* missing = data[0] & 1 ? nullptr : lists[2].c_str();
    if (config.Configure(&trace, lists[0].c_str(), lists[1].c_str(), missing)) {
        int start = 1;
        int more = 1;
        std::size_t taken = 0;
        while (more != 0) {
            char qspc[ZTA_QUEUE_LIST_SIZE] = {};
            char qmconf[ZTA_QUEUE_LIST_SIZE] = {};
            char lmid[ZTA_QUEUE_LIST_SIZE] = {};
            config.GetNextQueueTokens(qspc, qmconf, lmid, ';', start, more);
            // Every entry is terminated within its buffer and the walk ends.
            if (qspc[ZTA_QUEUE_LIST_SIZE - 1] != '\0' || qmconf[ZTA_QUEUE_LIST_SIZE - 1] != '\0' ||
                lmid[ZTA_QUEUE_LIST_SIZE - 1] != '\0')
                std::abort();
            if (++taken > ZTA_QUEUE_LIST_SIZE) std::abort();
        }
    }

    // GetQueueString alone, from a start position that may be anywhere.
    const std::string list = zfuzz::Text(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
    std::string out(outsize + 1, '\x5a');
    int pos = position;
    for (std::size_t taken = 0; taken <= list.size() + 1; ++taken) {
        const char* found = GetQueueString(list.c_str(), separator, out.data(), outsize, pos);
        if (out[outsize] != '\x5a') std::abort();  // stayed within outsize
        if (outsize > 0 && std::memchr(out.data(), '\0', outsize) == nullptr) std::abort();
        if (found == nullptr) return 0;
        if (found < list.c_str() || found >= list.c_str() + list.size()) std::abort();
    }
    std::abort();  // the walk did not end
}
