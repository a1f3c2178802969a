// The build record: texts that describe this build, filled when it is built.
#include <cstdint>

#include "zta_agent.h"

namespace {

#ifndef ZTA_BUILD_USER
#define ZTA_BUILD_USER ""
#define ZTA_BUILD_OSREL ""
#define ZTA_BUILD_OSNAME ""
#define ZTA_BUILD_HOST ""
#define ZTA_BUILD_MACHINE ""
#define ZTA_BUILD_ID1 ""
#define ZTA_BUILD_ID2 ""
#endif

// Constant data of the program: build date, build time, unit name, three
// empty texts, builder, OS release, a one-letter flag, OS name, build host,
// machine type, two empty texts, "1", an empty text and two build ids.
const char* theirBuildTexts[ZTA_BUILD_TEXTS] = {
    __DATE__,       __TIME__,      "wbbld00",         "", "", "", ZTA_BUILD_USER, ZTA_BUILD_OSREL,
    "R",            ZTA_BUILD_OSNAME, ZTA_BUILD_HOST, ZTA_BUILD_MACHINE, "", "", "1", "",
    ZTA_BUILD_ID1,  ZTA_BUILD_ID2,
};

const void* theirEmptyList[1] = {nullptr};

const wbbld_record theirBuildRecord = {ZTA_BUILD_TEXTS, 0, theirBuildTexts, theirEmptyList};

}  // namespace

extern "C" void wbbld00(const wbbld_record** record) {
    if (record != nullptr) *record = &theirBuildRecord;
}
