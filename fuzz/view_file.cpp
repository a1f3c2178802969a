// View source files: any bytes as the one view file (VIEWFILES32). Every
// view the text names is then sized, initialised with Fvsinit32 and filled
// with Fvftos32 from a buffer that holds every field of the field table.
#include <fml32.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "fml_internal.h"
#include "fuzz_input.h"
#include "tuxsim_fml.h"

namespace {

// A buffer with two occurrences of every field in the field table: numbers
// and texts that convert into every member type.
FBFR32* FullBuffer() {
    FBFR32* fbfr = Falloc32(1024, 64 * 1024);
    std::ifstream table(ZTA_FUZZ_FIELDS_DIR "/tpadm");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream words(line);
        std::string name;
        if (!(words >> name) || name[0] == '#' || name[0] == '*') continue;
        const FLDID32 id = Fldid32(name.data());
        if (id == BADFLDID) continue;
        if (Fldtype32(id) == FLD_LONG) {
            long values[] = {-70000, 9223372036854775807L};
            for (long& v : values) Fadd32(fbfr, id, reinterpret_cast<char*>(&v), 0);
        } else if (Fldtype32(id) == FLD_STRING) {
            std::string texts[] = {"1e308", "a text longer than most string members of the views, -12"};
            for (std::string& text : texts) Fadd32(fbfr, id, text.data(), 0);
        }
    }
    return fbfr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("FLDTBLDIR32", ZTA_FUZZ_FIELDS_DIR, 1);
    ::unsetenv("FIELDTBLS32");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static zfuzz::InputFile file;
    static FBFR32* buffer = FullBuffer();
    file.Set(data, size);
    ::setenv("VIEWDIR32", "/nonexistent", 1);
    ::setenv("VIEWFILES32", file.path().c_str(), 1);
    fml::reset_views();

    // The names after VIEW, as the text gives them.
    std::vector<std::string> names;
    std::istringstream lines(std::string(reinterpret_cast<const char*>(data), size));
    std::string line;
    while (std::getline(lines, line) && names.size() < 8) {
        std::istringstream words(line);
        std::string word, name;
        if ((words >> word >> name) && word == "VIEW") names.push_back(name);
    }
    for (std::string& name : names) {
        const long need = tuxsim_Fvsize32(name.c_str());
        if (need < 0) continue;
        // Views of a megabyte and more are legal but not worth the time here.
        if (need > (1 << 20)) continue;
        std::vector<char> record(static_cast<std::size_t>(need) + 1, '\x5a');
        if (Fvsinit32(record.data(), name.data()) != 1) std::abort();
        if (Fvftos32(buffer, record.data(), name.data()) != 1) std::abort();
        if (record[static_cast<std::size_t>(need)] != '\x5a') std::abort();  // stayed within the view's size
    }
    return 0;
}
