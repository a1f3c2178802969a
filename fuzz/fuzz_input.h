// Helpers of the fuzz targets: the input as a file that the parsers open by
// name, and the input as a NUL-terminated text.
#ifndef ZTA_FUZZ_INPUT_H
#define ZTA_FUZZ_INPUT_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace zfuzz {

// An anonymous in-memory file, named /proc/self/fd/N, that holds the current
// input. The parsers open it by that name like any regular file; nothing is
// written to disk and two runs never share a name.
class InputFile {
public:
    InputFile() {
        fd_ = ::memfd_create("fuzz-input", MFD_CLOEXEC);
        if (fd_ < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Replaces the file's contents with the input.
    void Set(const std::uint8_t* data, std::size_t size) {
        if (::ftruncate(fd_, 0) != 0) std::abort();
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) std::abort();
            done += static_cast<std::size_t>(n);
        }
    }

    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

// The input as a text: the bytes up to the first NUL, as an environment
// variable would carry them.
inline std::string Text(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(text.find('\0') == std::string::npos ? size : text.find('\0'));
    return text;
}

// Writes what the parser said to standard error when ZFUZZ_SHOW is set, for
// replaying one input by hand: ZFUZZ_SHOW=1 build-fuzz/fuzz/fuzz_NAME FILE.
inline void Show(const std::string& what) {
    static const bool on = std::getenv("ZFUZZ_SHOW") != nullptr;
    if (on) std::fprintf(stderr, "[%s]\n", what.c_str());
}

}  // namespace zfuzz

#endif  // ZTA_FUZZ_INPUT_H
