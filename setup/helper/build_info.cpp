// The program's build date and time: SOURCE_DATE_EPOCH's moment in a reproducible build (the build
// passes it in), else as the compiler writes them.
#include "build_info.h"

namespace zelhart::setup {

#ifdef ZELHART_BUILD_DATE
const char* BuildDate() { return ZELHART_BUILD_DATE; }
const char* BuildTime() { return ZELHART_BUILD_TIME; }
#else
const char* BuildDate() { return __DATE__; }
const char* BuildTime() { return __TIME__; }
#endif

} // namespace zelhart::setup
