// How the library's module lives with its host process.
//
// Windows ends a process by stopping every other thread first and then unloading
// the DLLs, under the loader lock. A host that exits (or unloads the DLL) without
// ORV_Uninit would then have the library join threads that are gone or cannot run,
// and wait forever. Two measures keep that from hanging the host:
//  - while initialised, the library holds a reference to its own module, so an
//    unload by the host does not pull the code from under its running threads;
//  - at process end, the library-wide objects are left to the system instead of
//    being torn down.
// On Linux a shared object's destructors run with its threads still alive: nothing
// is needed and these calls do nothing.
#pragma once

namespace platform {

// True while the process ends with this module still loaded (Windows).
bool ProcessIsEnding();

// Takes and gives back the library's own reference to its module (Windows).
void HoldModule();
void ReleaseModule();

}  // namespace platform
