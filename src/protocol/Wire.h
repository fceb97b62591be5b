// Wire format of the recording-server protocol: the 80-byte message header, the
// command codes, the payload records, the header fields of each command by name
// (the command views), and the login key. OLE time stamps: platform/OleTime.h.
//
// Every record is a plain struct for use in memory plus explicit little-endian
// Encode/Decode functions to and from byte arrays; nothing is ever cast onto
// network bytes. Both the client and the server simulator use these functions.
#pragma once

#include "platform/Bytes.h"
#include <boost/system/error_code.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "platform/OleTime.h"

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
// Server slots of one protocol client (OrvDllWrapperModule): indexes 1..63. The
// manager registers fewer (ORVLinker::kMaxServers).
inline constexpr int32_t kMaxClientServers = 63;
inline constexpr int32_t kLoginExtraBlockMax = 9'999'999;
inline constexpr int32_t kScratchAreaSize = 524'288;
inline constexpr int32_t kServerTextMax = 511;
inline constexpr int32_t kFrameBufferSize = 14'000'000;

// ---------------------------------------------------------------------------
// Time: OLE dates (UTC on the wire) as platform/OleTime.h defines them.

using platform::kMsPerDay;
using platform::kOleMillisecond;
using platform::kOleUnixEpoch;
using platform::NowOleUtc;
using platform::OleFromUnixMs;

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

// One camera slot of the status block of command 5: the block holds
// kStatusEntryCount entries of kStatusEntrySize bytes. orv-sim fills the bytes with
// active, kind, frame rate and plate flag, and the values with width and height.
struct TCameraStatus {
    uint8_t bytes[4] = {};
    int16_t value1 = 0;
    uint8_t reserved6[2] = {};
    int16_t value2 = 0;
    uint8_t reserved10[2] = {};
};
static_assert(sizeof(TCameraStatus) == 12);
static_assert(offsetof(TCameraStatus, value1) == 4);
static_assert(offsetof(TCameraStatus, value2) == 8);
inline constexpr size_t kStatusEntrySize = 12;
inline constexpr size_t kStatusEntryCount = 128;
inline constexpr size_t kStatusBlockSize = kStatusEntryCount * kStatusEntrySize;

void EncodeCameraStatus(const TCameraStatus& status, uint8_t* out12);
TCameraStatus DecodeCameraStatus(const uint8_t* in12);

// The payload of the telemetry command (0x411): kSize bytes, of which the client
// fills two speeds and a value byte at these offsets; the rest stays zero.
struct TelemetryBlock {
    static constexpr int32_t kSize = 16;
    static constexpr size_t kSpeed1 = 4;
    static constexpr size_t kSpeed2 = 5;
    static constexpr size_t kValue = 8;
};

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

// ---------------------------------------------------------------------------
// Header flags and sizes that belong to particular commands

// Archive read: bit 30 of the request's camera and flags asks for the first marked
// camera only; in the reply's flags it says that no frame was found, and bit 8
// marks a frame of the camera's second stream.
inline constexpr int32_t kArchiveFirstCameraOnlyFlag = 0x40000000;
inline constexpr int32_t kArchiveNoFrameFlag = 0x40000000;
inline constexpr int32_t kArchiveStreamBit = 0x100;

// ---------------------------------------------------------------------------
// Command views
//
// Each view names the header fields one command uses in one direction; the
// command's payload blocks (if any) follow the header in the order the view's
// comment gives. Encode writes the view's fields into a header and leaves every
// other field as it was (the client keeps one header across its exchanges);
// Decode reads them back. magic, length, command and version are the exchange's,
// not the view's. Both directions come from one table per view (WireSlots), so an
// encoder and a decoder of the same view cannot disagree.

namespace wire_detail {

template <typename View, typename T>
struct Slot {
    T View::*view;
    T TMsgHeader::*header;
};

template <typename View, typename T>
constexpr Slot<View, T> At(T View::*view, T TMsgHeader::*header) {
    return {view, header};
}

template <typename T>
void Assign(T& to, const T& from) {
    to = from;
}
template <typename T, size_t N>
void Assign(T (&to)[N], const T (&from)[N]) {
    for (size_t i = 0; i < N; ++i) to[i] = from[i];
}

}  // namespace wire_detail

// The header fields of a view, as a tuple of wire_detail::Slot; specialised below each view.
template <typename View>
inline constexpr auto WireSlots = nullptr;

template <typename View>
void Encode(const View& view, TMsgHeader& header) {
    std::apply([&](const auto&... slot) { (wire_detail::Assign(header.*(slot.header), view.*(slot.view)), ...); },
               WireSlots<View>);
}

template <typename View>
View Decode(const TMsgHeader& header) {
    View view;
    std::apply([&](const auto&... slot) { (wire_detail::Assign(view.*(slot.view), header.*(slot.header)), ...); },
               WireSlots<View>);
    return view;
}

// Defines WireSlots<View> from (view member, header field) pairs.
#define ORV_WIRE_SLOTS(View, ...)                \
    template <>                                  \
    inline constexpr auto WireSlots<View> = [] { \
        using wire_detail::At;                   \
        using V = View;                          \
        using H = TMsgHeader;                    \
        return std::make_tuple(__VA_ARGS__);     \
    }()

// Login (1), client -> server. No payload.
struct LoginRequest {
    double clientTime = 0.0;   // the client's UTC now
    int32_t blockLength = 0;   // 0: no payload
    uint8_t key[8] = {};       // NormalizeLoginKey of the password, space padded
};
ORV_WIRE_SLOTS(LoginRequest, At(&V::clientTime, &H::field16), At(&V::blockLength, &H::field24),
               At(&V::key, &H::field72));

// Login (1), server -> client. Payload: the TServerInfo block (infoLength bytes),
// then an extra block (extraLength bytes, 1..kLoginExtraBlockMax) the client drops.
struct LoginReply {
    int32_t infoLength = 0;
    int32_t result = 0;  // 1 accepted, -1 wrong key
    int32_t extraLength = 0;
};
ORV_WIRE_SLOTS(LoginReply, At(&V::infoLength, &H::field24), At(&V::result, &H::field28),
               At(&V::extraLength, &H::field32));

// Camera tables (2), server -> client; the request carries nothing of its own.
// Payload: recordCount TCameraRecord of kCameraRecordSize bytes, for the camera
// indexes firstCamera, firstCamera + 1, ...
struct CameraTablesReply {
    int32_t firstCamera = 0;  // 0-based camera index
    int32_t recordCount = 0;
};
ORV_WIRE_SLOTS(CameraTablesReply, At(&V::firstCamera, &H::field12), At(&V::recordCount, &H::field52));

// Camera event (4), client -> server. The server reads the low byte of code1 and code2.
struct CameraEventRequest {
    int32_t camera = 0;  // 0-based camera index
    int32_t code1 = 0;
    int32_t code2 = 0;
    int32_t value1 = 0;
    int32_t value2 = 0;
};
ORV_WIRE_SLOTS(CameraEventRequest, At(&V::camera, &H::field12), At(&V::code1, &H::field24),
               At(&V::code2, &H::field28), At(&V::value1, &H::field32), At(&V::value2, &H::field36));

// Answer of the commands that return a single result in field 24: camera event
// (4), server event (7), camera mode (64), camera command (0x431), archive open
// and close; server -> client.
struct ResultReply {
    int32_t result = 0;
};
ORV_WIRE_SLOTS(ResultReply, At(&V::result, &H::field24));

// Answer of the commands that return their result in field 28: telemetry block
// (0x411) and console switch (0x421); server -> client.
struct SecondResultReply {
    int32_t result = 0;
};
ORV_WIRE_SLOTS(SecondResultReply, At(&V::result, &H::field28));

// Server status (5), client -> server. No payload.
struct StatusRequest {
    int32_t blockLength = 0;
    int32_t reserved28 = 0;
    int32_t extraLength = 0;
};
ORV_WIRE_SLOTS(StatusRequest, At(&V::blockLength, &H::field24), At(&V::reserved28, &H::field28),
               At(&V::extraLength, &H::field36));

// Server status (5), server -> client. Payload: the status block (statusLength
// bytes, kStatusBlockSize from our peers: one TCameraStatus per camera slot), then
// an extra block of extraLength bytes.
struct StatusReply {
    int32_t statusLength = 0;
    int32_t extraLength = 0;
};
ORV_WIRE_SLOTS(StatusReply, At(&V::statusLength, &H::field24), At(&V::extraLength, &H::field36));

// Server event (7), client -> server. No payload.
struct ServerEventRequest {
    int32_t one = 1;  // always 1
    int32_t value = 0;
};
ORV_WIRE_SLOTS(ServerEventRequest, At(&V::one, &H::field24), At(&V::value, &H::field28));

// Camera name (45), client -> server. No payload.
struct CameraNameRequest {
    int32_t camera = 0;  // 0-based camera index
    double time = 0.0;   // 0
};
ORV_WIRE_SLOTS(CameraNameRequest, At(&V::camera, &H::field12), At(&V::time, &H::field16));

// Answer of the commands whose only payload is one block of blockLength bytes:
// camera name (45, Windows-1251 text without terminator); server -> client.
struct BlockReply {
    int32_t blockLength = 0;
};
ORV_WIRE_SLOTS(BlockReply, At(&V::blockLength, &H::field24));

// Console: show archive (54), client -> server. No payload.
struct ConsoleArchiveRequest {
    int32_t blockLength = 0;  // 0
    int32_t value = 0;
    int32_t firstCamera = 0;  // 0-based camera indexes
    int32_t lastCamera = 0;
    double time2 = 0.0;
    double time1 = 0.0;
};
ORV_WIRE_SLOTS(ConsoleArchiveRequest, At(&V::blockLength, &H::field24), At(&V::value, &H::field28),
               At(&V::firstCamera, &H::field32), At(&V::lastCamera, &H::field36), At(&V::time2, &H::field56),
               At(&V::time1, &H::field64));

// Console: show archive (54), server -> client. Payload: one block of blockLength bytes.
struct ConsoleArchiveReply {
    int32_t blockLength = 0;
    int32_t result = 0;
};
ORV_WIRE_SLOTS(ConsoleArchiveReply, At(&V::blockLength, &H::field24), At(&V::result, &H::field32));

// Server text (57), client -> server: BlockReply's layout with blockLength 0 (no
// payload). Server -> client: the text (textLength bytes, at most kServerTextMax).
struct ServerTextReply {
    int32_t textLength = 0;
    int32_t hasText = 0;  // 1 when a text follows, else 0
};
ORV_WIRE_SLOTS(ServerTextReply, At(&V::textLength, &H::field24), At(&V::hasText, &H::field28));

// Camera mode (64), client -> server. No payload.
struct CameraModeRequest {
    int32_t camera = 0;  // 0-based camera index
    double time = 0.0;   // 0
    int32_t mode = 0;    // the server reads the low byte
};
ORV_WIRE_SLOTS(CameraModeRequest, At(&V::camera, &H::field12), At(&V::time, &H::field16),
               At(&V::mode, &H::field24));

// Live frames (243), client -> server. Payload: entryCount TFrameEntry, each
// kFrameEntryLongSize bytes, or kFrameEntryShortSize below kLongFrameEntryVersion.
struct LiveFramesRequest {
    int32_t entryCount = 0;
    double clientTime = 0.0;  // the client's UTC now
    int32_t entryBytes = 0;   // entryCount times the entry size
    int32_t userValue = 0;
};
ORV_WIRE_SLOTS(LiveFramesRequest, At(&V::entryCount, &H::field12), At(&V::clientTime, &H::field16),
               At(&V::entryBytes, &H::field24), At(&V::userValue, &H::field28));

// Live frames (243), server -> client. Payload: entryCount entries (entryBytes
// bytes, in the form of the reply's version), then per entry the blocks that
// FrameEntryBlockLengths lists.
struct LiveFramesReply {
    int32_t entryCount = 0;
    double serverTime = 0.0;
    int32_t entryBytes = 0;
    int32_t nothingSent = 0;   // -1: no entry and no block follows
    int32_t extendedResult = 0;  // the extended call answers this + 1
};
ORV_WIRE_SLOTS(LiveFramesReply, At(&V::entryCount, &H::field12), At(&V::serverTime, &H::field16),
               At(&V::entryBytes, &H::field24), At(&V::nothingSent, &H::field28),
               At(&V::extendedResult, &H::field52));

// Telemetry block (0x411), client -> server. Payload: the TelemetryBlock::kSize block.
struct TelemetryRequest {
    int32_t camera = 0;  // 0-based camera index
    int32_t blockLength = TelemetryBlock::kSize;
    int32_t command = 0;
};
ORV_WIRE_SLOTS(TelemetryRequest, At(&V::camera, &H::field12), At(&V::blockLength, &H::field24),
               At(&V::command, &H::field28));

// Console: switch camera (0x421), client -> server. No payload, although
// blockLength says TelemetryBlock::kSize.
struct ConsoleSwitchRequest {
    int32_t camera = 0;  // 0-based camera index
    int32_t blockLength = TelemetryBlock::kSize;
};
ORV_WIRE_SLOTS(ConsoleSwitchRequest, At(&V::camera, &H::field12), At(&V::blockLength, &H::field24));

// Camera command (0x431), client -> server. No payload.
struct CameraCommandRequest {
    int32_t camera = 0;  // 0-based camera index
    int32_t value1 = 0;
    int32_t value2 = 0;
};
ORV_WIRE_SLOTS(CameraCommandRequest, At(&V::camera, &H::field12), At(&V::value1, &H::field28),
               At(&V::value2, &H::field32));

// Camera position (0x951), client -> server. No payload. kind 1 reads the
// position back; 2 sets x, y, z and value; 3 sets x, y and zTime.
struct PositionRequest {
    int32_t camera = 0;  // 0-based camera index
    int32_t kind = 0;
    int32_t x = 0;
    int32_t y = 0;
    int32_t z = 0;
    int32_t value = 0;
    double zTime = 0.0;
};
ORV_WIRE_SLOTS(PositionRequest, At(&V::camera, &H::field12), At(&V::kind, &H::field24), At(&V::x, &H::field28),
               At(&V::y, &H::field32), At(&V::z, &H::field36), At(&V::value, &H::field40),
               At(&V::zTime, &H::field56));

// Camera position (0x951), server -> client. No payload; x, y, z and value
// answer kind 1.
struct PositionReply {
    int32_t result = 0;
    int32_t x = 0;
    int32_t y = 0;
    int32_t z = 0;
    int32_t value = 0;
};
ORV_WIRE_SLOTS(PositionReply, At(&V::result, &H::field24), At(&V::x, &H::field28), At(&V::y, &H::field32),
               At(&V::z, &H::field36), At(&V::value, &H::field40));

// Archive range (channel, kArchiveRange), both directions alike. No payload. The
// client sends the range it knows; the server answers its own, or the client's
// values when it has no recordings.
struct ArchiveRangeView {
    double earliest = 0.0;
    double latest = 0.0;
};
ORV_WIRE_SLOTS(ArchiveRangeView, At(&V::earliest, &H::field56), At(&V::latest, &H::field64));

// Archive seek (channel, kArchiveSeek), client -> server. No payload.
struct ArchiveSeekRequest {
    double time = 0.0;
    int32_t direction = 0;  // low byte: non-zero forward (first frame at or after time)
};
ORV_WIRE_SLOTS(ArchiveSeekRequest, At(&V::time, &H::field16), At(&V::direction, &H::field28));

// Archive seek (channel, kArchiveSeek), server -> client. No payload.
struct ArchiveSeekReply {
    double time = 0.0;   // the frame found, or the requested time
    int32_t result = 0;  // negative: nothing found
};
ORV_WIRE_SLOTS(ArchiveSeekReply, At(&V::time, &H::field16), At(&V::result, &H::field24));

// Archive read (channel, kArchiveReadForward/Backward), client -> server.
// Payload: the camera mask, one byte per camera of the server (maskLength bytes).
struct ArchiveReadRequest {
    double time = 0.0;  // used when the channel was never positioned
    int32_t maskLength = 0;
    int32_t requestValue = 0;
    int32_t camera = 0;  // first marked camera | kArchiveFirstCameraOnlyFlag, or 0
    int32_t flags = 0;   // wanted frame kinds, | kArchiveFirstCameraOnlyFlag
    int32_t payloadLength = 0;
    int32_t auxLength = 0;
};
ORV_WIRE_SLOTS(ArchiveReadRequest, At(&V::time, &H::field16), At(&V::maskLength, &H::field24),
               At(&V::requestValue, &H::field28), At(&V::camera, &H::field32), At(&V::flags, &H::field36),
               At(&V::payloadLength, &H::field40), At(&V::auxLength, &H::field44));

// Archive read, server -> client. Payload: the auxiliary block (auxLength bytes),
// then the frame (payloadLength bytes).
struct ArchiveReadReply {
    double time = 0.0;   // the frame's time, or the requested time when none
    int32_t found = 0;   // 1 a frame follows, 0 none in this direction
    int32_t camera = 0;  // 0-based camera index of the frame
    int32_t flags = 0;   // kArchiveStreamBit: second stream; kArchiveNoFrameFlag: none found
    int32_t payloadLength = 0;
    int32_t auxLength = 0;
};
ORV_WIRE_SLOTS(ArchiveReadReply, At(&V::time, &H::field16), At(&V::found, &H::field24), At(&V::camera, &H::field32),
               At(&V::flags, &H::field36), At(&V::payloadLength, &H::field40), At(&V::auxLength, &H::field44));

#undef ORV_WIRE_SLOTS

// ---------------------------------------------------------------------------
// Rounding

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

using platform::RawBuffer;

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
