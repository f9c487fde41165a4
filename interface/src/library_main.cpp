// Load and unload of libZelHartDriverInterface.so: the watcher starts and the driver's function
// device is opened when the library is loaded; both end when it is unloaded.
#include "library.h"

namespace {

__attribute__((constructor)) void LibraryLoad() {
    try {
        zelhart::hartif::LibraryAttach();
    } catch (...) {
        // Loading never fails: without its state every export answers with a failure code.
    }
}

__attribute__((destructor)) void LibraryUnload() { zelhart::hartif::LibraryDetach(); }

} // namespace
