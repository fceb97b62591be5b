// Wire format of the recording-server protocol: the 80-byte message header, the
// command codes, the payload records, OLE time stamps and the login key.
//
// Every record is a plain struct for use in memory plus explicit little-endian
// Encode/Decode functions to and from byte arrays; nothing is ever cast onto
// network bytes. Both the client and the server simulator use these functions.
#pragma once

#include <boost/system/error_code.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace orv_stuff {

// ---------------------------------------------------------------------------
// Constants

inline constexpr uint32_t MSG_MAGIC = 0x00171196;
inline constexpr size_t kHeaderSize = 80;

// Command codes.
inline constexpr uint16_t kCmdLogin = 1;
inline constexpr uint16_t kCmdPollCameraTables = 2;
inline constexpr uint16_t kCmdCameraEvent = 4;
inline constexpr uint16_t kCmdServerStatus = 5;
inline constexpr uint16_t kCmdServerEvent = 7;
inline constexpr uint16_t kCmdCameraName = 45;
inline constexpr uint16_t kCmdConsoleShowArchive = 54;
inline constexpr uint16_t kCmdServerText = 57;
inline constexpr uint16_t kCmdCameraMode = 64;
inline constexpr uint16_t kCmdLiveFrames = 243;
inline constexpr uint16_t kCmdTelemetryBlock = 0x411;
inline constexpr uint16_t kCmdConsoleSwitchCamera = 0x421;
inline constexpr uint16_t kCmdCameraCommand = 0x431;
inline constexpr uint16_t kCmdCameraPosition = 0x951;

// Archive channel functions (low byte); the channel code goes in the high byte.
inline constexpr uint8_t kArchiveOpen = 0x10;
inline constexpr uint8_t kArchiveRange = 0x11;
inline constexpr uint8_t kArchiveSeek = 0x12;
inline constexpr uint8_t kArchiveClose = 0x1F;
inline constexpr uint8_t kArchiveReadForward = 0x23;
inline constexpr uint8_t kArchiveReadBackward = 0x24;
inline constexpr int kArchiveChannelCount = 4;
// High byte per channel 0..3.
inline constexpr uint8_t kArchiveChannelCodes[kArchiveChannelCount] = {1, 2, 3, 6};

// Command code of an archive function on a channel; empty for channels outside 0..3.
std::optional<uint16_t> ArchiveChannelCommand(int32_t channel, uint8_t function);

// Protocol versions: 715 is what the manager registers with; below 702 the live
// frame entries travel in their short 48-byte form.
inline constexpr uint16_t kClientVersion = 715;
inline constexpr uint16_t kLongFrameEntryVersion = 702;

// Archive sentinels: later resp. earlier than any position.
inline constexpr double kArchiveLatestSentinel = 99999.0;
inline constexpr double kArchiveEarliestSentinel = 0.0;

// Table sizes and reply bounds.
inline constexpr int32_t kMaxCameras = 2048;
inline constexpr int32_t kMaxServers = 63;
inline constexpr int32_t kLoginExtraBlockMax = 9'999'999;
inline constexpr int32_t kScratchAreaSize = 524'288;
inline constexpr int32_t kServerTextMax = 511;
inline constexpr int32_t kFrameBufferSize = 14'000'000;

// ---------------------------------------------------------------------------
// Time

inline constexpr double kOleUnixEpoch = 25569.0;
inline constexpr int64_t kMsPerDay = 86'400'000;
inline constexpr double kOleMillisecond = 1.0 / 86'400'000.0;

// OLE Automation date (UTC) of a count of whole milliseconds since 1970-01-01 00:00 UTC.
double OleFromUnixMs(int64_t unixMs);
// Current UTC time as an OLE date with millisecond resolution.
double NowOleUtc();

// ---------------------------------------------------------------------------
// Message header

struct TMsgHeader {
    uint32_t magic = 0;
    int32_t length = 0;
    uint16_t command = 0;
    uint16_t version = 0;
    int32_t field12 = 0;
    double field16 = 0.0;
    int32_t field24 = 0;
    int32_t field28 = 0;
    int32_t field32 = 0;
    int32_t field36 = 0;
    int32_t field40 = 0;
    int32_t field44 = 0;
    int32_t field48 = 0;
    int32_t field52 = 0;
    double field56 = 0.0;
    double field64 = 0.0;
    uint8_t field72[8] = {};
};
static_assert(sizeof(TMsgHeader) == kHeaderSize);
static_assert(offsetof(TMsgHeader, magic) == 0);
static_assert(offsetof(TMsgHeader, length) == 4);
static_assert(offsetof(TMsgHeader, command) == 8);
static_assert(offsetof(TMsgHeader, version) == 10);
static_assert(offsetof(TMsgHeader, field12) == 12);
static_assert(offsetof(TMsgHeader, field16) == 16);
static_assert(offsetof(TMsgHeader, field24) == 24);
static_assert(offsetof(TMsgHeader, field28) == 28);
static_assert(offsetof(TMsgHeader, field32) == 32);
static_assert(offsetof(TMsgHeader, field36) == 36);
static_assert(offsetof(TMsgHeader, field40) == 40);
static_assert(offsetof(TMsgHeader, field44) == 44);
static_assert(offsetof(TMsgHeader, field48) == 48);
static_assert(offsetof(TMsgHeader, field52) == 52);
static_assert(offsetof(TMsgHeader, field56) == 56);
static_assert(offsetof(TMsgHeader, field64) == 64);
static_assert(offsetof(TMsgHeader, field72) == 72);

void EncodeHeader(const TMsgHeader& header, uint8_t* out80);
TMsgHeader DecodeHeader(const uint8_t* in80);

// A reply is accepted when it echoes the request's command and carries the magic.
inline bool IsAcceptedReply(const TMsgHeader& reply, uint16_t command) {
    return reply.command == command && reply.magic == MSG_MAGIC;
}

// ---------------------------------------------------------------------------
// Payload records

// Block 1 of the login reply.
struct TServerInfo {
    int32_t firstCamera = 0;  // camera index (0-based)
    int32_t lastCamera = 0;
    int32_t cameraCount = 0;
    uint8_t activeFlags[128] = {};
    uint8_t extra[12] = {};
};
static_assert(sizeof(TServerInfo) == 152);
static_assert(offsetof(TServerInfo, firstCamera) == 0);
static_assert(offsetof(TServerInfo, lastCamera) == 4);
static_assert(offsetof(TServerInfo, cameraCount) == 8);
static_assert(offsetof(TServerInfo, activeFlags) == 12);
static_assert(offsetof(TServerInfo, extra) == 140);
inline constexpr size_t kServerInfoSize = 152;

void EncodeServerInfo(const TServerInfo& info, uint8_t* out152);
TServerInfo DecodeServerInfo(const uint8_t* in152);

// Per-camera record of command 2; every byte is kept so that a round trip is lossless.
struct TCameraRecord {
    uint8_t active = 0;
    uint8_t reserved1 = 0;
    int16_t value1 = 0;
    int16_t value2 = 0;
    uint8_t reserved6[2] = {};
    uint8_t time[8] = {};
    int32_t value3 = 0;
    uint8_t reserved20[4] = {};
    uint8_t value4[8] = {};
    int16_t flagA = 0;
    int16_t flagB = 0;
    uint8_t reserved36[4] = {};
};
static_assert(sizeof(TCameraRecord) == 40);
static_assert(offsetof(TCameraRecord, active) == 0);
static_assert(offsetof(TCameraRecord, value1) == 2);
static_assert(offsetof(TCameraRecord, value2) == 4);
static_assert(offsetof(TCameraRecord, time) == 8);
static_assert(offsetof(TCameraRecord, value3) == 16);
static_assert(offsetof(TCameraRecord, value4) == 24);
static_assert(offsetof(TCameraRecord, flagA) == 32);
static_assert(offsetof(TCameraRecord, flagB) == 34);
inline constexpr size_t kCameraRecordSize = 40;

void EncodeCameraRecord(const TCameraRecord& record, uint8_t* out40);
TCameraRecord DecodeCameraRecord(const uint8_t* in40);

// One camera's entry of the live frame exchange (command 243).
struct TFrameEntry {
    int32_t camera = 0;
    int32_t maxWidth = 0;
    int32_t maxHeight = 0;
    int32_t reserved12 = 0;
    int32_t auxLength = 0;
    int32_t payloadLength = 0;
    double time = 0.0;
    int32_t frameId = 0;
    int32_t lead1Length = 0;
    int32_t lead2Length = 0;
    int32_t trailLength = 0;
    uint8_t longForm = 0;   // 1 in requests of the 72-byte form
    uint8_t extraFlag = 0;  // request: extra data wanted; reply: extra data present
    uint8_t reserved50[6] = {};
    double extraTime = 0.0;
    int32_t extraLength = 0;
    uint8_t reserved68[4] = {};
};
static_assert(sizeof(TFrameEntry) == 72);
static_assert(offsetof(TFrameEntry, camera) == 0);
static_assert(offsetof(TFrameEntry, maxWidth) == 4);
static_assert(offsetof(TFrameEntry, maxHeight) == 8);
static_assert(offsetof(TFrameEntry, auxLength) == 16);
static_assert(offsetof(TFrameEntry, payloadLength) == 20);
static_assert(offsetof(TFrameEntry, time) == 24);
static_assert(offsetof(TFrameEntry, frameId) == 32);
static_assert(offsetof(TFrameEntry, lead1Length) == 36);
static_assert(offsetof(TFrameEntry, lead2Length) == 40);
static_assert(offsetof(TFrameEntry, trailLength) == 44);
static_assert(offsetof(TFrameEntry, longForm) == 48);
static_assert(offsetof(TFrameEntry, extraFlag) == 49);
static_assert(offsetof(TFrameEntry, extraTime) == 56);
static_assert(offsetof(TFrameEntry, extraLength) == 64);
inline constexpr size_t kFrameEntryLongSize = 72;
inline constexpr size_t kFrameEntryShortSize = 48;

// wireSize is 72 or 48. Encoding the short form writes the first 48 bytes only.
void EncodeFrameEntry(const TFrameEntry& entry, uint8_t* out, size_t wireSize);
// Decoding the short form updates the fields of the first 48 bytes and sets
// extraLength to 0; the slot's other long-form fields keep their values.
void DecodeFrameEntryInto(const uint8_t* in, size_t wireSize, TFrameEntry& slot);
TFrameEntry DecodeFrameEntry(const uint8_t* in, size_t wireSize);

// The block lengths of an entry, in the order the blocks follow each other on
// the wire: lead 1, lead 2, payload, auxiliary, trailing, and (long form) extra.
inline constexpr int kFrameEntryBlockCount = 6;
void FrameEntryBlockLengths(const TFrameEntry& entry, int32_t (&lengths)[kFrameEntryBlockCount]);

// Record of the camera position command.
struct TCameraPosition {
    int32_t value = 0;
    int32_t kind = 0;  // 1 read back, 2 set three integers, 3 set two integers and a time-like double
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};
static_assert(sizeof(TCameraPosition) == 32);
static_assert(offsetof(TCameraPosition, value) == 0);
static_assert(offsetof(TCameraPosition, kind) == 4);
static_assert(offsetof(TCameraPosition, x) == 8);
static_assert(offsetof(TCameraPosition, y) == 16);
static_assert(offsetof(TCameraPosition, z) == 24);

void EncodeCameraPosition(const TCameraPosition& position, uint8_t* out32);
TCameraPosition DecodeCameraPosition(const uint8_t* in32);

// Round to nearest, halves away from zero, saturated to the int32 range.
int32_t RoundToInt32(double value);

// ---------------------------------------------------------------------------
// Login key

// Eight-character key derived from a login text: cut to 8 bytes, space padded,
// ASCII lower-cased, Windows-1251 Cyrillic letters replaced by the character on
// the same key of a US keyboard. The result ends at the first zero byte.
std::string NormalizeLoginKey(std::string_view loginText);

// ---------------------------------------------------------------------------
// Little-endian primitives

void PutU16(uint8_t* p, uint16_t v);
void PutI16(uint8_t* p, int16_t v);
void PutU32(uint8_t* p, uint32_t v);
void PutI32(uint8_t* p, int32_t v);
void PutF64(uint8_t* p, double v);
uint16_t GetU16(const uint8_t* p);
int16_t GetI16(const uint8_t* p);
uint32_t GetU32(const uint8_t* p);
int32_t GetI32(const uint8_t* p);
double GetF64(const uint8_t* p);

// ---------------------------------------------------------------------------
// Buffers

// Growable request buffer: appending grows the storage (keeping its content),
// the used length is the highest position written since the last reset.
class SendBuffer {
public:
    void Reset() {
        position_ = 0;
        used_ = 0;
    }
    void Append(const void* bytes, size_t n);
    // Overwrites 4 bytes at an already written offset.
    void PatchI32(size_t offset, int32_t value);
    const uint8_t* Data() const { return storage_.get(); }
    size_t Size() const { return used_; }
    size_t Capacity() const { return capacity_; }

private:
    std::unique_ptr<uint8_t[]> storage_;
    size_t capacity_ = 0;
    size_t position_ = 0;
    size_t used_ = 0;
};

// Byte buffer that grows without zero-filling, so that untouched pages of a
// large area are never committed. Content is dropped when it grows.
class RawBuffer {
public:
    RawBuffer() = default;
    explicit RawBuffer(size_t capacity) { Reserve(capacity); }
    // Makes the capacity at least n; allocates exactly n when it must grow.
    void Reserve(size_t n) {
        if (n <= capacity_) return;
        storage_.reset();
        storage_.reset(new uint8_t[n]);
        capacity_ = n;
    }
    uint8_t* Data() { return storage_.get(); }
    const uint8_t* Data() const { return storage_.get(); }
    size_t Capacity() const { return capacity_; }

private:
    std::unique_ptr<uint8_t[]> storage_;
    size_t capacity_ = 0;
};

// Something that moves exact byte counts: the server connection, or an
// in-memory stream in tests.
// The part of an exchange a read or write belonged to.
enum class ExchangeStep { Request, ReplyHeader, ReplyBlock };

// What a read or write on a server's stream came to, error first: no error
// means all n bytes were transferred.  Converts to true on success so that
// `if (!channel.Read(...))` reads naturally.
struct IoResult {
    boost::system::error_code error;
    ExchangeStep step = ExchangeStep::ReplyBlock;
    int32_t transferred = 0;
    explicit operator bool() const { return !error; }
};

class IByteChannel {
public:
    virtual ~IByteChannel() = default;
    // Exactly n bytes, or an error saying why not.
    virtual IoResult Read(void* buffer, int32_t n) = 0;
    virtual IoResult Write(const void* buffer, int32_t n) = 0;
    // The stream can no longer be trusted to be in step (for example a reply
    // header without magic): the connection is to be treated as failed.
    virtual void MarkOutOfStep() = 0;
};

// Outcome of reading one reply payload block.
enum class BlockResult {
    Absent,    // length 0 or negative: nothing to read
    Read,      // the block is in the destination
    TooLarge,  // the block does not fit the destination; it was drained from the stream
    Failed,    // the stream failed (also while draining)
};

// Reads a block of `length` bytes into dst (capacity bytes). A block larger than
// the destination is drained through `scratch` so the stream stays in step.
BlockResult ReadPayloadBlock(IByteChannel& channel, int32_t length, uint8_t* dst, size_t capacity,
                             RawBuffer& scratch);
// Reads and drops `length` bytes (nothing when length <= 0). Lengths above
// kMaxDrainBytes are not drained: the stream is marked out of step instead.
inline constexpr int64_t kMaxDrainBytes = 64LL * 1024 * 1024;
bool DrainBytes(IByteChannel& channel, int64_t length, RawBuffer& scratch);

}  // namespace orv_stuff
