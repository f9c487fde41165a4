// The program's build date and time, as the compiler writes them.
#include "build_info.h"

namespace zelhart::setup {

const char* BuildDate() { return __DATE__; }
const char* BuildTime() { return __TIME__; }

} // namespace zelhart::setup
