// Helpers shared by the protocol client tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

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

// A protocol client with scripted peers as its servers.
class ModuleFixture : public ::testing::Test {
protected:
    ScriptedPeer& AddPeer() {
        peers.push_back(std::make_unique<ScriptedPeer>());
        return *peers.back();
    }
    // Starts the peer and registers it; waits until connected.
    int32_t Register(ScriptedPeer& peer, int32_t clientVersion = orv_stuff::kClientVersion) {
        peer.Start();
        const int32_t index = module.RegisterServerEx("", "127.0.0.1", peer.Port(), 524288, 77, clientVersion);
        EXPECT_EQ(WaitModuleState(module, index), orv_stuff::Connected);
        return index;
    }
    // Registers and logs in, so that the client version is on the connection.
    int32_t RegisterAndLogin(ScriptedPeer& peer, int32_t clientVersion = orv_stuff::kClientVersion) {
        const int32_t index = Register(peer, clientVersion);
        orv_stuff::TServerInfo info;
        EXPECT_EQ(module.Login(info, "key12345", index), 0);
        return index;
    }
    std::vector<std::unique_ptr<ScriptedPeer>> peers;
    orv_stuff::OrvDllWrapperModule module{kTestIoTimeout};
};

}  // namespace orv_test
