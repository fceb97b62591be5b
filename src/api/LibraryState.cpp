#include "api/LibraryState.h"

#include "manager/ORVLinker.h"
#include "platform/ModuleLifetime.h"

namespace orv_api {
namespace {

// Statically initialised, so any thread may take it at any time.
platform::LibraryMutex g_libraryLock;

// Members are destroyed in reverse order at unload when ORV_Uninit was not called:
// the block first, then the plate helper, then the manager reference.
LibraryState g_state;

// Destroyed just before g_state. When the process is ending with the library still
// initialised, the other threads are gone, maybe holding locks the teardown needs:
// the state is then left to the system (platform/ModuleLifetime.h).
struct AbandonAtProcessEnd {
    ~AbandonAtProcessEnd() {
        if (platform::ProcessIsEnding()) new LibraryState(std::move(g_state));
    }
} g_abandonAtProcessEnd;

}  // namespace

platform::LibraryMutex& LibraryLock() { return g_libraryLock; }

LibraryState& State() { return g_state; }

int Init() {
    try {
        platform::LibraryLockGuard lock(g_libraryLock);
        if (g_state.manager == nullptr) {
            // Whatever the slots held is released first (normally nothing).
            g_state.plates.reset();
            g_state.managerRef.reset();
            auto manager = std::make_shared<ORVLinker>();
            auto plates = std::make_unique<KeloHelper>(manager);
            g_state.managerRef = manager;
            g_state.manager = manager.get();
            g_state.plates = std::move(plates);
            platform::HoldModule();
        }
        if (!g_state.block) {
            g_state.block = std::make_unique<platform::SharedBlock>();
        }
        return 0;
    } catch (...) {
        // Construction failed (no thread, no memory): reporting success would leave the
        // host with a library that answers -513 to everything.
        return kFailed;
    }
}

int Uninit() {
    try {
        platform::LibraryLockGuard lock(g_libraryLock);
        if (auto plates = std::move(g_state.plates)) {
            plates.reset();  // joins its worker and drops its manager reference
        }
        g_state.manager = nullptr;
        if (auto manager = std::move(g_state.managerRef)) {
            manager.reset();  // the last reference: the manager tears itself down
        }
        if (auto block = std::move(g_state.block)) {
            block->Release();
        }
        platform::ReleaseModule();
        return 0;
    } catch (...) {
        return kFailed;
    }
}

}  // namespace orv_api
