// The protocol client as the server manager sees it: every exchange with a
// recording server goes through one of these operations. The order of the
// virtual slots is fixed.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/Wire.h"

namespace orv_stuff {

// Where the payload of a one-entry live reply may be received instead of the
// usual area, so that a picture passed on as received is not copied again: used
// when the reply holds exactly one entry whose only block is its payload and the
// payload fits `capacity`. `used` tells whether it was.
struct PayloadTarget {
    uint8_t* data = nullptr;
    int64_t capacity = 0;
    bool used = false;
};

// Results: unlike the manager above it, the protocol client does not return the
// library's result codes. Each operation states its own convention below; most
// are "1 done, -1 failed" (failed: bad argument, no such or no connected server,
// exchange failed or refused), some pass a reply field on, and the archive
// channel operations count servers ("1 at least one server did it, 0 none").
class IOrvModule {
public:
    virtual ~IOrvModule() = default;

    virtual bool IsReady() = 0;    // always true
    virtual int32_t Startup() = 0;  // 0
    virtual int32_t Cleanup() = 0;  // 0
    virtual bool SupportsExtended() = 0;

    // Server index 1..63, or -1 when 63 servers are registered.
    virtual int32_t RegisterServer(const std::string& hostName, const std::string& hostAddress, int32_t port,
                                   int32_t rateLimitKiB, int32_t userValue) = 0;
    virtual int32_t RegisterServerEx(const std::string& hostName, const std::string& hostAddress, int32_t port,
                                     int32_t rateLimitKiB, int32_t userValue, int32_t clientVersion) = 0;
    virtual int32_t DropAllServers() = 0;  // 0

    // loginKey points to 8 bytes. Reply field 28, or -1 index above the count,
    // -2 empty slot, -3 not connected, -4 write failed, -5 reply header not read,
    // -6 bad reply or payload not read.
    virtual int32_t Login(TServerInfo& info, const char* loginKey, int32_t server) = 0;
    virtual int32_t Reconnect(int32_t server) = 0;  // 1
    // Returns the index as given; state 0 for an unknown index.
    virtual int32_t GetServerState(int32_t& state, int32_t server) = 0;
    // 0 minus the number of servers whose exchange failed.
    virtual int32_t PollCameraTables(int32_t& changeCount) = 0;
    virtual int32_t GetCameraRecord(int32_t camera, TCameraRecord& record) = 0;  // 1, -1 bad index
    // Reply field 24 when the server accepted the event, else -1.
    virtual int32_t SendCameraEvent(int32_t camera, uint8_t a, uint8_t b, int32_t c, int32_t d) = 0;
    virtual int32_t SendServerEvent(int32_t server, int32_t value) = 0;  // 1, -1
    virtual bool IsCameraActive(int32_t camera) = 0;                      // false for a bad index
    virtual int32_t SendCameraMode(int32_t camera, uint8_t value) = 0;   // 1, -1

    // Basic live read: entries holds `count` 48-byte-form entries in and the
    // returned entries out; the reply blocks go into data (dataCapacity bytes),
    // or into `target` when it takes them. 1, or -1 (refused by the rate limit,
    // bad arguments, exchange failed).
    virtual int32_t ReadLiveFrames(int32_t server, int32_t& count, TFrameEntry* entries, uint8_t* data,
                                   int32_t dataCapacity, PayloadTarget* target = nullptr) = 0;
    // Extended live read: the reply blocks land in `area` when given, else in the
    // server's own frame data area (valid until the next call with that server),
    // or in `target` when it takes them; `data` receives their address. 1, or for
    // a long reply the server's count field + 1 (saturated); -1 as above.
    virtual int32_t ReadLiveFramesEx(int32_t server, int32_t& count, TFrameEntry* entries, const uint8_t*& data,
                                     PayloadTarget* target = nullptr, RawBuffer* area = nullptr) = 0;

    // Status block into buffer (bufferSize bytes; the manager gives 1536). 1 or -1.
    virtual int32_t GetServerStatus(int32_t server, uint8_t* buffer, int32_t bufferSize) = 0;
    // text must hold at least 512 bytes; receives at most 511 bytes and a zero.
    // Reply field 28, or -1.
    virtual int32_t QueryServerText(int32_t server, char* text) = 0;
    // Reply field 32, or -1.
    virtual int32_t ConsoleShowArchive(int32_t server, int32_t a, int32_t b, double time1, double time2,
                                       uint8_t* buffer, int32_t bufferSize, int32_t value) = 0;
    // length: in, the buffer's size; out, the name's length (0 when none).
    // 1 (also when the server does not know the command: no name), or -1.
    virtual int32_t QueryCameraName(int32_t server, int32_t camera, char* buffer, int32_t& length) = 0;

    // Archive channels 0..3. Open, close and range: 1 when at least one server did
    // it, 0 when none did (or the channel is out of range). Seek: the largest reply
    // field 24 of the servers that found a frame, -1 when none did or the channel
    // is bad. Position: 0.0 for a bad channel. Given a camera mask (kMaxCameras
    // bytes), open, range and seek talk only to the servers owning a camera of it.
    virtual int32_t OpenArchiveChannel(int32_t channel, const uint8_t* cameraMask = nullptr) = 0;
    virtual int32_t CloseArchiveChannel(int32_t channel) = 0;
    virtual int32_t QueryArchiveRange(int32_t channel, double& earliest, double& latest,
                                      const uint8_t* cameraMask = nullptr) = 0;
    virtual double ArchivePosition(int32_t channel) = 0;
    virtual int32_t SeekArchive(int32_t channel, double time, uint8_t direction,
                                const uint8_t* cameraMask = nullptr) = 0;
    // payloadLength/auxLength: in, the values sent to the server; out, the
    // block lengths received. The capacities bound what the reply may write.
    // 1 a frame (or a run-out reported in the flags) was read, -1 none.
    virtual int32_t ReadArchiveForward(int32_t channel, int32_t requestValue, int32_t& a,
                                       const uint8_t* cameraMask, int32_t& b, double& time, uint8_t* payload,
                                       int32_t payloadCapacity, int32_t& payloadLength, uint8_t* aux,
                                       int32_t auxCapacity, int32_t& auxLength) = 0;
    virtual int32_t ReadArchiveBackward(int32_t channel, int32_t requestValue, int32_t& a,
                                        const uint8_t* cameraMask, int32_t& b, double& time, uint8_t* payload,
                                        int32_t payloadCapacity, int32_t& payloadLength, uint8_t* aux,
                                        int32_t auxCapacity, int32_t& auxLength) = 0;

    // params points to the 16-byte parameter block. Reply field 28, or 0.
    virtual int32_t SendTelemetryBlock(int32_t server, int32_t camera, int32_t command,
                                       const uint8_t* params) = 0;
    virtual int32_t SendCameraCommand(int32_t camera, int32_t a, int32_t b) = 0;      // reply field 24, or -1
    virtual int32_t ConsoleSwitchCamera(int32_t server, int32_t camera) = 0;         // reply field 28, or -1
    // 1, or reply field 24 when the position is not of kind 1, or -1.
    virtual int32_t CameraPosition(int32_t server, int32_t camera, TCameraPosition& position) = 0;
};

}  // namespace orv_stuff
