// viewc32: the view compiler of the stand-in's installation layout.
//
//   viewc32 [-n] [-d VIEWDIR] VIEWFILE...
//
// Checks each view file as the stand-in's VIEW32 reads it (syntax, member
// types, counts, sizes and null values) and, without -n, every field name
// against the field tables FLDTBLDIR32 and FIELDTBLS32 name, as a view
// compiler does. A file that passes is "compiled" to VIEWFILE.V (a final ".v"
// replaced), in VIEWDIR or the current folder: the stand-in reads view source
// at run time, so the compiled file is the checked source under the compiled
// name, with a first comment line saying where it came from. No C header is
// written. Exit status: 0 when every file compiled, 1 when one did not (each
// problem on standard error), 2 for bad arguments.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "fml32.h"
#include "printable.h"
#include "regular_file.h"
#include "tuxsim_fml.h"

namespace {

int usage(const char* why) {
    std::fprintf(stderr, "viewc32: %s\nusage: viewc32 [-n] [-d VIEWDIR] VIEWFILE...\n", why);
    return 2;
}

// The compiled file's name: the view file's own, ".v" replaced by ".V".
std::string compiled_name(const std::string& path) {
    std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    if (base.size() > 2 && base.compare(base.size() - 2, 2, ".v") == 0) base.resize(base.size() - 2);
    return base + ".V";
}

// Writes the checked source under its compiled name, through a temporary
// file renamed into place, so a reader never sees half a view.
bool write_compiled(const std::string& source, const std::string& dir) {
    std::string text, reason;
    if (!zcommon::ReadRegularFile(source, 16u << 20, &text, &reason)) {
        std::fprintf(stderr, "viewc32: %s: %s\n", zcommon::Printable(source).c_str(), reason.c_str());
        return false;
    }
    const std::string target = (dir.empty() ? std::string() : dir + "/") + compiled_name(source);
    const std::string temporary = target + ".tmp." + std::to_string(getpid());
    const std::string origin = source.substr(source.rfind('/') + 1);
    std::FILE* out = std::fopen(temporary.c_str(), "wb");
    bool ok = out != nullptr &&
              std::fprintf(out, "# compiled by the stand-in's viewc32 from %s\n", zcommon::Printable(origin).c_str()) > 0 &&
              std::fwrite(text.data(), 1, text.size(), out) == text.size();
    int err = errno;
    if (out != nullptr && std::fclose(out) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && std::rename(temporary.c_str(), target.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        std::fprintf(stderr, "viewc32: cannot write %s: %s\n", zcommon::Printable(target).c_str(), std::strerror(err));
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool mapped = true;
    std::string dir;
    int opt;
    opterr = 0;
    while ((opt = getopt(argc, argv, "nd:")) != -1) {
        switch (opt) {
            case 'n': mapped = false; break;
            case 'd': dir = optarg; break;
            default: return usage(optopt == 'd' ? "-d needs a folder" : "unknown option");
        }
    }
    if (optind >= argc) return usage("name at least one view file");
    int status = 0;
    for (int i = optind; i < argc; ++i) {
        const int err = tuxsim_Fvcheck32(argv[i], mapped ? 1 : 0);
        if (err != 0) {
            std::fprintf(stderr, "viewc32: %s: not compiled: %s\n", zcommon::Printable(argv[i]).c_str(), Fstrerror32(err));
            status = 1;
        } else if (!write_compiled(argv[i], dir)) {
            status = 1;
        }
    }
    return status;
}
