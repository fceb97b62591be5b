#include "platform/ModuleLifetime.h"

#ifdef _WIN32
#include <windows.h>

#include <atomic>

namespace {

std::atomic<bool> g_processEnding{false};
HMODULE g_heldModule = nullptr;  // only under the library lock

}  // namespace

// Called by the C runtime's entry point before it runs the module's static destructors.
// A non-null reserved pointer at detach means the process is ending (not FreeLibrary).
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) g_processEnding = true;
    return TRUE;
}

namespace platform {

bool ProcessIsEnding() { return g_processEnding; }

void HoldModule() {
    if (g_heldModule != nullptr) return;
    static const char kAnchor = 0;
    HMODULE self = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, &kAnchor, &self)) g_heldModule = self;
}

void ReleaseModule() {
    // The host that called us still holds its own reference: this never unloads the
    // code that is running.
    if (g_heldModule != nullptr) FreeLibrary(g_heldModule);
    g_heldModule = nullptr;
}

}  // namespace platform

#else

namespace platform {

bool ProcessIsEnding() { return false; }
void HoldModule() {}
void ReleaseModule() {}

}  // namespace platform

#endif
