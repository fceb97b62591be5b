#include "api/LibraryState.h"

#include "manager/ORVLinker.h"

namespace orv_api {
namespace {

// Statically initialised, so any thread may take it at any time.
platform::LibraryMutex g_libraryLock;

// Members are destroyed in reverse order at unload when ORV_Uninit was not called:
// the block first, then the plate helper, then the manager reference.
LibraryState g_state;

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
        }
        if (!g_state.block) {
            g_state.block = std::make_unique<platform::SharedBlock>();
        }
        return 0;
    } catch (...) {
        // Construction failed (no thread, no memory): reporting success would leave the
        // host with a library that answers -513 to everything.
        return kFailure;
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
        return 0;
    } catch (...) {
        return kFailure;
    }
}

}  // namespace orv_api
