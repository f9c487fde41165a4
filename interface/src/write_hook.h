// A hold on the communication thread for the library's own tests: called with the request the thread
// has just taken from the write queue, before the stop check that lets it go to the device. Null, and
// so inert, unless a test sets it; the shared library exports only the seven hart_* functions.
#pragma once

#include "zelhart/hart_api.h"

#include <atomic>

namespace zelhart::hartif {

using BeforeWriteHook = void (*)(const HartMessage& request);
extern std::atomic<BeforeWriteHook> g_beforeWriteHook;

} // namespace zelhart::hartif
