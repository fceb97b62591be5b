// Helpers shared by the protocol client tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "protocol/OrvDllWrapperModule.h"
#include "protocol/TServerDM.h"
#include "support/ScriptedPeer.h"

namespace orv_test {

using namespace std::chrono_literals;

inline constexpr std::chrono::milliseconds kTestIoTimeout{250};

// Polls until the record leaves Connecting (or the time runs out).
inline int32_t WaitSettled(const orv_stuff::TServerDM& server, std::chrono::milliseconds limit = 3000ms) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (server.IsConnecting() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return server.State();
}

inline int32_t WaitModuleState(orv_stuff::OrvDllWrapperModule& module, int32_t index,
                               std::chrono::milliseconds limit = 3000ms) {
    auto server = module.ServerAt(index);
    if (!server) return -1;
    return WaitSettled(*server, limit);
}

// Server information block of a login reply.


}  // namespace orv_test
