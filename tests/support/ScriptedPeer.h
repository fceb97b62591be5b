// A scripted recording server on loopback for tests: it listens on an ephemeral
// port of 127.0.0.1, accepts one connection and plays a script of steps:
// receive a request (recorded for later checks), send bytes, answer computed
// from the request, close in the middle of a reply, or stay silent.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Wire.h"

namespace orv_test {

using Bytes = std::vector<uint8_t>;

// One request as the peer received it.
struct Request {
    orv_stuff::TMsgHeader header;
    Bytes raw;      // header and payload as sent
    Bytes payload;  // bytes after the 80-byte header
};

// Reply header with magic and command set; other fields as given afterwards.
orv_stuff::TMsgHeader ReplyHeader(uint16_t command, uint16_t version = 0);
// Encoded header followed by the blocks in order.
Bytes MakeReply(const orv_stuff::TMsgHeader& header, const std::vector<Bytes>& blocks = {});
Bytes Filled(size_t n, uint8_t value);
// A server-information block for cameras first..last, all of them active.
Bytes ServerInfoBlock(int32_t first, int32_t last, int32_t count);
// A login reply carrying that block.
Bytes LoginReply(int32_t first, int32_t last, int32_t result = 0, uint16_t version = 0);

class ScriptedPeer {
public:
    using Responder = std::function<Bytes(const Request&)>;

    ScriptedPeer();
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    uint16_t Port() const { return port_; }

    // Script steps, played in order on the accepted connection.
    ScriptedPeer& ExpectRequest();                 // read one request (header + announced payload)
    ScriptedPeer& Send(Bytes bytes);               // write bytes as they are
    ScriptedPeer& Reply(Bytes bytes) { return ExpectRequest().Send(std::move(bytes)); }
    ScriptedPeer& Respond(Responder responder);    // read one request, send what the responder makes
    ScriptedPeer& RespondRepeatedly(Responder responder);  // until the client goes away or Stop
    ScriptedPeer& CloseMidReply(Bytes bytes, size_t sendBytes);  // send a prefix, then close
    ScriptedPeer& Close();                         // close the connection
    // Write bytes one at a time, `interval` apart (a peer that is never silent
    // for long yet never finishes).
    ScriptedPeer& Trickle(Bytes bytes, std::chrono::milliseconds interval);
    // After the last step the connection stays open and silent until Stop().

    // Accepts and plays the script on a thread of its own. Without Start the
    // port still accepts connections (the kernel's backlog) but nothing answers.
    void Start();
    // Ends the script (waking a silent peer), closes everything and joins.
    void Stop();

    // Waits until the script has run to its end (true) or the time-out passed.
    bool WaitScriptDone(std::chrono::milliseconds timeout);
    std::vector<Request> Requests();
    // Requests received so far (does not wait).
    size_t RequestCount();
    // Problems the peer met (unexpected end of stream, oversized request...).
    std::string Errors();
    bool Accepted() const { return accepted_.load(); }

private:
    struct Step {
        enum Kind { Receive, SendBytes, RespondOnce, RespondLoop, CloseAfter, CloseNow, TrickleBytes } kind;
        Bytes bytes;
        size_t sendBytes = 0;
        Responder responder;
        std::chrono::milliseconds interval{0};
    };

    void Run();
    bool ReceiveRequest(Request& request);
    bool ReadExact(uint8_t* dst, size_t n);
    bool WriteAll(const uint8_t* src, size_t n);
    void AddError(const std::string& text);

    int listenFd_ = -1;
    std::atomic<int> connFd_{-1};
    uint16_t port_ = 0;
    std::vector<Step> steps_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> accepted_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
    std::vector<Request> requests_;
    std::string errors_;
};

}  // namespace orv_test
