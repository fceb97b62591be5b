// Library-wide state behind the exports: one manager, one plate helper and the
// shared integration block, guarded by the library lock: shared for every
// ordinary export, so calls run side by side, exclusive for Init and Uninit.
#pragma once

#include <memory>

#include "manager/IOrvServerManager.h"
#include "manager/ResultCode.h"
#include "platform/LibraryMutex.h"
#include "platform/SharedBlock.h"
#include "plates/KeloHelper.h"

namespace orv_api {

using orv_result::kFailed;
using orv_result::kNotInitialised;
using orv_result::kNotSupported;

struct LibraryState {
    std::shared_ptr<IOrvServerManager> managerRef;
    IOrvServerManager* manager = nullptr;  // null: not initialised
    std::unique_ptr<KeloHelper> plates;
    std::unique_ptr<platform::SharedBlock> block;
};

platform::LibraryMutex& LibraryLock();
// Only under LibraryLock() (shared for reading the pointers, exclusive to change them).
LibraryState& State();

int Init();
int Uninit();

// The common frame of an export: library lock (shared), initialised test, then
// the body; every exception becomes -1 so nothing crosses the C boundary. The
// body never takes the library lock again.
template <class Body>
int Guarded(Body&& body) noexcept {
    try {
        platform::LibrarySharedLockGuard lock(LibraryLock());
        LibraryState& state = State();
        if (state.manager == nullptr) {
            return kNotInitialised;
        }
        return body(*state.manager);
    } catch (...) {
        return kFailed;
    }
}

}  // namespace orv_api
