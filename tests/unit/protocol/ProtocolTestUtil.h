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
inline Bytes ServerInfoBlock(int32_t first, int32_t last, int32_t count) {
    orv_stuff::TServerInfo info;
    info.firstCamera = first;
    info.lastCamera = last;
    info.cameraCount = count;
    for (int32_t i = 0; i < count && i < 128; ++i) info.activeFlags[i] = 1;
    Bytes block(orv_stuff::kServerInfoSize);
    orv_stuff::EncodeServerInfo(info, block.data());
    return block;
}

inline Bytes LoginReply(int32_t first, int32_t last, int32_t result = 0) {
    auto h = ReplyHeader(orv_stuff::kCmdLogin);
    h.field24 = static_cast<int32_t>(orv_stuff::kServerInfoSize);
    h.field28 = result;
    return MakeReply(h, {ServerInfoBlock(first, last, last - first + 1)});
}

}  // namespace orv_test
