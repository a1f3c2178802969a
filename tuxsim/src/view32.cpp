#include "fml_internal.h"
namespace fml { void reset_views() {} }
extern "C" int Fvsinit32(char*, const char*) { return fml::fail(FBADVIEW); }
extern "C" int Fvftos32(FBFR32*, char*, const char*) { return fml::fail(FBADVIEW); }
