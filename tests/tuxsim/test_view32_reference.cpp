// The view conversion against its reference, the member-by-member algorithm
// it replaced (kept here): for every member and element, the field's
// occurrence searched from the start of the buffer, strings formatted through
// Fprint32's text. Both run on many random buffers, over every view of the
// project and over test views with arrays, count and length members, null
// values, shared fields and fields no member takes; the structures, results
// and errors must be the same byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fml32.h"
#include "const_calls.h"
#include "fml_internal.h"
#include "test_fml32_env.h"
#include "tuxsim_fml.h"
#include "view_model.h"

namespace {

// The stand-in takes Tuxedo's exact, non-const prototypes.
char* txt(const char* s) { return const_cast<char*>(s); }

// The element move of the reference: text members through the formatted
// value, as before; every other member type as the library moves it.
unsigned short reference_move(const fml::ViewMember& m, int type, const unsigned char* v, FLDLEN32 len,
                              char* dst) {
    if (m.type != fml::MemberType::String && m.type != fml::MemberType::Carray)
        return fml::move_value(m, type, v, len, dst);
    std::string text = fml::format_value(type, v, len, false);
    const bool is_string = m.type == fml::MemberType::String;
    if (is_string) text = text.c_str();
    const std::size_t n = std::min(text.size(), is_string ? m.elem - 1 : m.elem);
    std::memcpy(dst, text.data(), n);
    std::memset(dst + n, 0, m.elem - n);
    const std::size_t moved = is_string ? n + 1 : n;
    return static_cast<unsigned short>(std::min<std::size_t>(moved, USHRT_MAX));
}

int reference_fvftos32(FBFR32* fbfr, char* cstruct, const char* view) {
    if (cstruct == nullptr) return fml::fail(FEINVAL);
    fml::Buffer b;
    if (!b.open(fbfr)) return -1;
    const auto v = fml::find_view(view);
    if (!v) return -1;
    for (std::uint32_t off = b.first(); off < b.end();) {
        fml::Record r;
        if (!b.read(off, r)) return -1;
        off += r.total;
    }
    for (const fml::ViewMember& m : v->members) {
        if (m.field == BADFLDID || !m.from_buffer) continue;
        short filled = 0;
        for (std::size_t i = 0; i < m.count; ++i) {
            char* dst = cstruct + m.offset + i * m.elem;
            fml::Record r;
            unsigned short moved = 0;
            if (b.find(m.field, static_cast<FLDOCC32>(i), r) == 1) {
                moved = reference_move(m, fml::field_type(m.field), b.value(r), r.len, dst);
                ++filled;
            } else {
                std::memcpy(dst, m.null_value.data(), m.elem);
            }
            if (m.length_member)
                std::memcpy(cstruct + m.length_offset + i * sizeof(unsigned short), &moved, sizeof moved);
        }
        if (m.count_member) std::memcpy(cstruct + m.count_offset, &filled, sizeof filled);
    }
    return 1;
}

int reference_fvsinit32(char* cstruct, const char* view) {
    if (cstruct == nullptr) return fml::fail(FEINVAL);
    const auto v = fml::find_view(view);
    if (!v) return -1;
    std::memset(cstruct, 0, v->size);
    for (const fml::ViewMember& m : v->members)
        for (std::size_t i = 0; i < m.count; ++i)
            std::memcpy(cstruct + m.offset + i * m.elem, m.null_value.data(), m.elem);
    return 1;
}

struct FreeFml {
    void operator()(FBFR32* p) const { Ffree32(p); }
};
using Fml = std::unique_ptr<FBFR32, FreeFml>;

class RandomBuffers {
public:
    explicit RandomBuffers(unsigned seed) : rng_(seed) {}

    // A buffer with some of `fields` (each absent, or with 1 to 4
    // occurrences) of random values: numbers of every size and sign, text
    // shorter and longer than any member, carrays with NULs inside.
    Fml make(const std::vector<FLDID32>& fields) {
        Fml b(Falloc32(64, 4096));
        for (FLDID32 f : fields) {
            const int occurrences = pick(0, 5) - 1;  // absent about a third of the time
            for (int oc = 0; oc < occurrences; ++oc) add(b.get(), f);
        }
        return b;
    }

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

private:
    void add(FBFR32* b, FLDID32 f) {
        switch (Fldtype32(f)) {
            case FLD_SHORT: {
                short v = static_cast<short>(pick(-32768, 32767));
                Fadd32(b, f, reinterpret_cast<char*>(&v), 0);
                break;
            }
            case FLD_LONG: {
                long v = pick(0, 3) == 0 ? static_cast<long>(rng_()) << 20 : pick(-100000, 100000);
                Fadd32(b, f, reinterpret_cast<char*>(&v), 0);
                break;
            }
            case FLD_CHAR: {
                char v = static_cast<char>(pick(0, 255));
                Fadd32(b, f, &v, 0);
                break;
            }
            case FLD_FLOAT: {
                float v = static_cast<float>(pick(-1000000, 1000000)) / 7.0f;
                Fadd32(b, f, reinterpret_cast<char*>(&v), 0);
                break;
            }
            case FLD_DOUBLE: {
                double v = pick(0, 4) == 0 ? 1e300 : static_cast<double>(pick(-1000000, 1000000)) / 3.0;
                Fadd32(b, f, reinterpret_cast<char*>(&v), 0);
                break;
            }
            case FLD_STRING: {
                std::string s = text(false);
                Fadd32(b, f, txt(s.c_str()), 0);
                break;
            }
            default: {
                std::string s = text(true);
                Fadd32(b, f, s.data(), static_cast<FLDLEN32>(s.size()));
            }
        }
    }

    std::string text(bool nuls) {
        static const char kChars[] = "abcXYZ 0123456789-+.e\xC3\xA9";
        std::string s(static_cast<std::size_t>(pick(0, 90)), ' ');
        for (char& c : s) c = kChars[pick(0, sizeof kChars - 2)];
        if (nuls && !s.empty() && pick(0, 2) == 0) s[static_cast<std::size_t>(pick(0, int(s.size()) - 1))] = '\0';
        if (!nuls && pick(0, 3) == 0) s = std::to_string(pick(-99999, 99999));  // a number as text
        return s;
    }

    std::mt19937 rng_;
};

// Runs both conversions over `rounds` random buffers for each view and
// compares. Fields offered: every field of the view's members, plus
// `others` that no member takes.
void compare_views(const std::vector<std::string>& views, const std::vector<FLDID32>& others, int rounds) {
    RandomBuffers random(20261209);
    for (const std::string& name : views) {
        SCOPED_TRACE(name);
        const auto v = fml::find_view(name.c_str());
        ASSERT_TRUE(v) << Fstrerror32(Ferror32);
        std::vector<FLDID32> fields = others;
        for (const fml::ViewMember& m : v->members)
            if (m.field != BADFLDID) fields.push_back(m.field);
        std::sort(fields.begin(), fields.end());
        fields.erase(std::unique(fields.begin(), fields.end()), fields.end());

        std::vector<char> got(v->size), want(v->size);
        ASSERT_EQ(Fvsinit32(got.data(), txt(name.c_str())), reference_fvsinit32(want.data(), name.c_str()));
        ASSERT_EQ(0, std::memcmp(got.data(), want.data(), v->size)) << "Fvsinit32";
        for (int round = 0; round < rounds; ++round) {
            Fml b = random.make(fields);
            // Start from the same leftovers: a conversion target is not
            // always freshly initialised.
            for (std::size_t i = 0; i < v->size; ++i) got[i] = want[i] = static_cast<char>(random.pick(0, 255));
            const int rc = Fvftos32(b.get(), got.data(), txt(name.c_str()));
            const int want_rc = reference_fvftos32(b.get(), want.data(), name.c_str());
            ASSERT_EQ(rc, want_rc) << "round " << round;
            ASSERT_EQ(0, std::memcmp(got.data(), want.data(), v->size)) << "round " << round;
        }
    }
}

TEST(View32Reference, EveryProjectViewOverRandomReplies) {
    ScopedFmlEnv env;
    env.fields("tpadm", TUXSIM_FIELDS_DIR);
    env.views(nullptr, PROJECT_VIEWS_DIR);
    // The project's views: one file per view in views/, named as the view it
    // holds ("txview..." as the loader finds them without VIEWFILES32).
    std::vector<std::string> views;
    for (const auto& entry : std::filesystem::directory_iterator(PROJECT_VIEWS_DIR))
        if (entry.path().filename().string().rfind("txview", 0) == 0) views.push_back(entry.path().filename().string());
    std::sort(views.begin(), views.end());
    ASSERT_FALSE(views.empty());
    // What a MIB reply carries besides the object's attributes.
    const std::vector<FLDID32> others = {Fldid32(txt("TA_MORE")), Fldid32(txt("TA_OCCURS")), Fldid32(txt("TA_CURSOR")),
                                         Fldid32(txt("TA_ERROR")), Fldid32(txt("TA_CLASS"))};
    compare_views(views, others, 150);
}

TEST(View32Reference, CountsLengthsNullsAndSharedFieldsOverRandomBuffers) {
    ScopedFmlEnv env;
    env.fields("test.fml");
    env.views("layout.v,convert.v,onepass.v");
    compare_views({"shared", "flagged", "nulls", "cross", "onlyway"}, {Fldid32(txt("F_OTHER")), Fldid32(txt("F_SECOND"))},
                  400);
}

TEST(View32Reference, FailuresLeaveTheStructureAsTheReferenceDoes) {
    ScopedFmlEnv env;
    env.fields("test.fml");
    env.views("onepass.v");
    RandomBuffers random(7);
    const auto v = fml::find_view("shared");
    ASSERT_TRUE(v);
    std::vector<char> got(v->size, 'g'), want(v->size, 'g');
    Fml b = random.make({Fldid32(txt("F_LONG")), Fldid32(txt("F_STRING"))});

    // No structure, no view, no buffer.
    EXPECT_EQ(Fvftos32(b.get(), nullptr, txt("shared")), -1);
    EXPECT_EQ(Ferror32, FEINVAL);
    EXPECT_EQ(Fvftos32(b.get(), got.data(), txt("nosuchview")), reference_fvftos32(b.get(), want.data(), "nosuchview"));
    EXPECT_EQ(Ferror32, FBADVIEW);
    EXPECT_EQ(Fvftos32(nullptr, got.data(), txt("shared")), -1);
    EXPECT_EQ(Ferror32, FNOTFLD);

    // A record whose length runs past the used part: refused before
    // anything is written.
    Fml damaged(Falloc32(8, 512));
    long n = 5;
    Fadd32(damaged.get(), Fldid32(txt("F_LONG")), reinterpret_cast<char*>(&n), 0);
    Fadd32(damaged.get(), Fldid32(txt("F_STRING")), txt("text"), 0);
    auto* raw = reinterpret_cast<unsigned char*>(damaged.get());
    unsigned char* length = raw + fml::kHeaderSize + 8 + 8 + 4;  // the string's length
    FLDLEN32 sound;
    std::memcpy(&sound, length, sizeof sound);
    const FLDLEN32 huge = 4000;
    std::memcpy(length, &huge, sizeof huge);
    EXPECT_EQ(Fvftos32(damaged.get(), got.data(), txt("shared")), -1);
    EXPECT_EQ(Ferror32, FNOTFLD);
    EXPECT_EQ(reference_fvftos32(damaged.get(), want.data(), "shared"), -1);
    EXPECT_EQ(got, want);
    EXPECT_EQ(got, std::vector<char>(v->size, 'g'));
    std::memcpy(length, &sound, sizeof sound);  // sound again, so that it can be freed
}

}  // namespace
