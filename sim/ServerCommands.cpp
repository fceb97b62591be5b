// The command handlers of a simulated server: each answers one request with a
// reply, without touching a socket (ServerCore.cpp does the sending).
#include <algorithm>
#include <climits>
#include <cmath>
#include <string>

#include "sim/Cp1251.h"
#include "sim/Plates.h"
#include "sim/ServerCore.h"

namespace orv_sim {

using namespace orv_stuff;

namespace {

int64_t OleToMs(double ole) {
    if (!std::isfinite(ole)) return 0;
    const double ms = platform::UnixMsFromOle(ole);
    return static_cast<int64_t>(std::llround(std::clamp(ms, -9.0e15, 9.0e15)));
}

TMsgHeader ReplyHeader(const TMsgHeader& request) {
    TMsgHeader h;
    h.magic = MSG_MAGIC;
    h.command = request.command;
    h.version = request.version;
    return h;
}

int ChannelOfCode(uint8_t code) {
    for (int c = 0; c < kArchiveChannelCount; ++c) {
        if (kArchiveChannelCodes[c] == code) return c;
    }
    return -1;
}

int KindCode(CameraKind kind) {
    return static_cast<int>(kind);
}

bool KeyBefore(int64_t t1, int c1, int64_t t2, int c2) {
    return t1 < t2 || (t1 == t2 && c1 < c2);
}

// The frame next in a direction among the candidates offered: going forward the
// earliest, going backward the latest; on equal times the lower camera forward
// and the higher one backward.
struct NextFrame {
    bool forward = true;
    bool found = false;
    int64_t time = 0;
    int camera = 0;
    int64_t unit = 0;

    void Offer(int64_t candidateTime, int candidateCamera, int64_t candidateUnit) {
        const bool better = !found || (forward ? KeyBefore(candidateTime, candidateCamera, time, camera)
                                               : KeyBefore(time, camera, candidateTime, candidateCamera));
        if (!better) return;
        found = true;
        time = candidateTime;
        camera = candidateCamera;
        unit = candidateUnit;
    }
};

constexpr int64_t kPlateBacklogMs = 60'000;

}  // namespace

// ---------------------------------------------------------------------------
// Commands

Reply ServerCore::Handle(Session& session, const TMsgHeader& rq, const std::vector<uint8_t>& payload) {
    switch (rq.command) {
        case kCmdLogin:
            return Login(session, rq);
        case kCmdPollCameraTables:
            return CameraTables(session, rq);
        case kCmdServerStatus:
            return Status(session, rq);
        case kCmdCameraName:
            return CameraName(session, rq);
        case kCmdServerText:
            return ServerText(session, rq);
        case kCmdLiveFrames:
            return LiveFrames(session, rq, payload);
        case kCmdCameraPosition:
            return CameraPosition(rq);
        case kCmdCameraEvent:
        case kCmdServerEvent:
        case kCmdConsoleShowArchive:
        case kCmdCameraMode:
        case kCmdTelemetryBlock:
        case kCmdConsoleSwitchCamera:
        case kCmdCameraCommand:
            return Acknowledge(rq, payload);
        default:
            break;
    }
    const int channel = ChannelOfCode(static_cast<uint8_t>(rq.command >> 8));
    if (channel >= 0) return Archive(session, rq, payload, channel, static_cast<uint8_t>(rq.command & 0xFF));
    Log("unknown command " + std::to_string(rq.command));
    Reply reply{ReplyHeader(rq), {}, {}};
    Encode(ResultReply{-1}, reply.header);
    return reply;
}

Reply ServerCore::Login(Session& s, const TMsgHeader& rq) {
    const auto login = Decode<LoginRequest>(rq);
    std::array<uint8_t, 8> key{};
    std::copy(std::begin(login.key), std::end(login.key), key.begin());
    Record(&Journal::loginKeys, key);
    const bool accepted = loginKey_.empty() || std::equal(key.begin(), key.end(), loginKey_.begin());
    s.authenticated = accepted;

    TServerInfo info;
    if (accepted) {
        info.firstCamera = firstCamera_;
        info.lastCamera = firstCamera_ + CameraCount() - 1;
        info.cameraCount = CameraCount();
        for (int i = 0; i < CameraCount() && i < kMaxCamerasPerServer; ++i) {
            info.activeFlags[i] = cameras_[static_cast<size_t>(i)]->Active() ? 1 : 0;
        }
    } else {
        std::lock_guard<std::mutex> lock(stateMutex_);
        ++journal_.failedLogins;
    }
    Log(accepted ? "login accepted" : "login refused: wrong key");
    Reply reply{ReplyHeader(rq), {}, {}};
    uint8_t bytes[kServerInfoSize];
    EncodeServerInfo(info, bytes);
    reply.AddOwned(bytes, sizeof bytes);
    Encode(LoginReply{static_cast<int32_t>(sizeof bytes), accepted ? 1 : -1, 0}, reply.header);
    return reply;
}

Reply ServerCore::CameraTables(const Session& s, const TMsgHeader& rq) {
    Reply reply{ReplyHeader(rq), {}, {}};
    CameraTablesReply tables{firstCamera_, 0};
    if (!s.authenticated) {
        Encode(tables, reply.header);
        return reply;
    }
    const double now = OleFromUnixMs(NowMs());
    for (const auto& camera : cameras_) {
        const CameraConfig& c = camera->Config();
        TCameraRecord record;
        record.active = camera->Active() ? 1 : 0;
        record.value1 = static_cast<int16_t>(c.fps);
        record.value2 = static_cast<int16_t>(KindCode(c.kind));
        PutF64(record.time, now);
        record.value3 = c.width;
        PutI32(record.value4, c.height);
        record.flagA = c.plates ? 1 : 0;
        uint8_t bytes[kCameraRecordSize];
        EncodeCameraRecord(record, bytes);
        reply.AddOwned(bytes, sizeof bytes);
    }
    tables.recordCount = CameraCount();
    Encode(tables, reply.header);
    return reply;
}

Reply ServerCore::Status(const Session& s, const TMsgHeader& rq) {
    Reply reply{ReplyHeader(rq), {}, {}};
    std::vector<uint8_t> block(kStatusBlockSize, 0);
    for (int i = 0; s.authenticated && i < CameraCount() && i < kMaxCamerasPerServer; ++i) {
        const SimCamera& camera = *cameras_[static_cast<size_t>(i)];
        const CameraConfig& c = camera.Config();
        TCameraStatus entry;
        entry.bytes[0] = camera.Active() ? 1 : 0;
        entry.bytes[1] = static_cast<uint8_t>(KindCode(c.kind));
        entry.bytes[2] = static_cast<uint8_t>(c.fps);
        entry.bytes[3] = c.plates ? 1 : 0;
        entry.value1 = static_cast<int16_t>(c.width);
        entry.value2 = static_cast<int16_t>(c.height);
        EncodeCameraStatus(entry, &block[static_cast<size_t>(i) * kStatusEntrySize]);
    }
    reply.AddOwned(block.data(), block.size());
    Encode(StatusReply{static_cast<int32_t>(block.size()), 0}, reply.header);
    return reply;
}

Reply ServerCore::CameraName(const Session& s, const TMsgHeader& rq) {
    Reply reply{ReplyHeader(rq), {}, {}};
    const SimCamera* camera = Camera(Decode<CameraNameRequest>(rq).camera);
    if (!s.authenticated || camera == nullptr) return reply;
    std::string name = camera->Config().name.empty() ? "Camera " + std::to_string(camera->Index() + 1)
                                                     : Utf8ToCp1251(camera->Config().name);
    if (name.size() > 127) name.resize(127);
    reply.AddOwned(reinterpret_cast<const uint8_t*>(name.data()), name.size());
    Encode(BlockReply{static_cast<int32_t>(name.size())}, reply.header);
    return reply;
}

Reply ServerCore::ServerText(Session& s, const TMsgHeader& rq) {
    Reply reply{ReplyHeader(rq), {}, {}};
    std::string text;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (!texts_.empty()) {
            text = std::move(texts_.front());
            texts_.pop_front();
        }
    }
    const int64_t now = NowMs();
    if (text.empty() && s.authenticated) {
        std::vector<PlateCamera> plateCameras;
        for (const auto& camera : cameras_) {
            if (!camera->Config().plates || !camera->Active()) continue;
            plateCameras.push_back(PlateCamera{
                camera->Index(),
                static_cast<int64_t>(std::llround(camera->Config().plateIntervalSeconds * 1000))});
        }
        // A client that stops polling does not face an endless backlog.
        if (s.plateAfterMs < now - kPlateBacklogMs) {
            s.plateAfterMs = now - kPlateBacklogMs;
            s.plateAfterCamera = -1;
        }
        if (const int flood = Faults().plateFloodPerSecond; flood > 0) {
            int active = 0;
            for (const auto& camera : cameras_) active += camera->Active() ? 1 : 0;
            const int64_t interval = std::max<int64_t>(1, 1000LL * active / flood);
            for (const auto& camera : cameras_) {
                if (camera->Active()) plateCameras.push_back(PlateCamera{camera->Index(), interval});
            }
        }
        if (auto event = NextPlateEvent(plateCameras, originMs_, s.plateAfterMs, s.plateAfterCamera, now)) {
            s.plateAfterMs = event->timeMs;
            s.plateAfterCamera = event->cameraIndex;
            text = PlateMessage(*event);
        }
    }
    reply.AddOwned(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    Encode(ServerTextReply{static_cast<int32_t>(text.size()), text.empty() ? 0 : 1}, reply.header);
    return reply;
}

// ---------------------------------------------------------------------------
// Live frames

void ServerCore::LiveEntry(Session& s, int64_t nowMs, int garbageEvery, TFrameEntry& entry,
                           std::vector<SharedBytes>& blocks) {
    const int32_t lastId = entry.frameId;
    const int cameraIndex = entry.camera;
    entry = TFrameEntry{};
    entry.camera = cameraIndex;
    if (!Serves(s, cameraIndex)) return;
    SimCamera& camera = *Camera(cameraIndex);
    const int64_t unit = camera.Timeline().LatestUnit(nowMs);
    if (unit < 0 || unit + 1 > INT32_MAX) return;
    const auto id = static_cast<int32_t>(unit + 1);
    if (lastId == id) return;  // nothing newer than what the client holds
    // An id from the future comes from another run of the server: the client
    // holds nothing of ours.
    const int32_t heldId = lastId > id ? 0 : lastId;

    SharedBytes payload;
    SharedBytes aux;
    const bool garbage = SimCamera::GarbageUnit(garbageEvery, unit);
    if (camera.Config().kind == CameraKind::JpegBlocks) {
        // Changed blocks only while the client still holds our last full
        // picture (it reported a frame sent since then) and it is recent.
        auto base = s.blockBase.find(cameraIndex);
        const bool holdsBase = base != s.blockBase.end() && heldId >= base->second + 1 &&
                               unit - base->second < camera.Config().gop && base->second < unit;
        if (holdsBase) {
            aux = garbage ? camera.BadUpdate(base->second, unit) : camera.Update(base->second, unit);
        } else if (garbage) {
            // A damaged full picture is no base: the next frame is a full one again.
            payload = camera.BadUnit(unit, garbageEvery);
            s.blockBase.erase(cameraIndex);
        } else {
            payload = camera.Unit(unit);
            s.blockBase[cameraIndex] = unit;
        }
        if (!payload && !aux) return;
    } else {
        payload = garbage ? camera.BadUnit(unit, garbageEvery) : camera.Unit(unit);
        if (!payload) return;
    }
    entry.frameId = id;
    entry.time = OleFromUnixMs(camera.Timeline().UnitTime(unit));
    entry.payloadLength = payload ? static_cast<int32_t>(payload->size()) : 0;
    entry.auxLength = aux ? static_cast<int32_t>(aux->size()) : 0;
    // Blocks of an entry go out as: payload, then auxiliary data.
    if (payload) blocks.push_back(payload);
    if (aux) blocks.push_back(aux);
}

Reply ServerCore::LiveFrames(Session& s, const TMsgHeader& rq, const std::vector<uint8_t>& payload) {
    Reply reply{ReplyHeader(rq), {}, {}};
    const size_t replyEntrySize = rq.version >= kLongFrameEntryVersion ? kFrameEntryLongSize : kFrameEntryShortSize;
    int32_t count = std::clamp(Decode<LiveFramesRequest>(rq).entryCount, 0, kMaxCameras);
    size_t requestEntrySize = replyEntrySize;
    if (count > 0) {
        const size_t perEntry = payload.size() / static_cast<size_t>(count);
        if (perEntry == kFrameEntryLongSize || perEntry == kFrameEntryShortSize) {
            requestEntrySize = perEntry;
        }
        count = std::min<int32_t>(count, static_cast<int32_t>(payload.size() / requestEntrySize));
    }
    if (count == 0) {
        Encode(LiveFramesReply{0, 0.0, 0, -1, 0}, reply.header);  // nothing asked, nothing sent
        return reply;
    }
    const int64_t now = NowMs();
    const int garbageEvery = Faults().garbageEvery;
    std::vector<TFrameEntry> entries(static_cast<size_t>(count));
    std::vector<SharedBytes> blocks;
    for (int32_t i = 0; i < count; ++i) {
        auto& entry = entries[static_cast<size_t>(i)];
        entry = DecodeFrameEntry(&payload[static_cast<size_t>(i) * requestEntrySize], requestEntrySize);
        LiveEntry(s, now, garbageEvery, entry, blocks);
    }
    std::vector<uint8_t> entryBytes(entries.size() * replyEntrySize, 0);
    for (size_t i = 0; i < entries.size(); ++i) {
        EncodeFrameEntry(entries[i], &entryBytes[i * replyEntrySize], replyEntrySize);
    }
    reply.AddOwned(entryBytes.data(), entryBytes.size());
    for (const SharedBytes& block : blocks) reply.AddShared(block);
    // The extended call answers extendedResult + 1: 1 here.
    Encode(LiveFramesReply{count, OleFromUnixMs(now), static_cast<int32_t>(entryBytes.size()), 0, 0}, reply.header);
    return reply;
}

// ---------------------------------------------------------------------------
// Archive

Reply ServerCore::Archive(Session& s, const TMsgHeader& rq, const std::vector<uint8_t>& payload, int channel,
                          uint8_t function) {
    Reply reply{ReplyHeader(rq), {}, {}};
    switch (function) {
        case kArchiveOpen:
            Encode(ResultReply{1}, reply.header);
            return reply;
        case kArchiveClose:
            s.cursors[channel] = ArchiveCursor{};
            Encode(ResultReply{1}, reply.header);
            return reply;
        case kArchiveRange:
            return ArchiveRange(s, rq);
        case kArchiveSeek:
            return ArchiveSeek(s, rq, channel);
        case kArchiveReadForward:
            return ArchiveRead(s, rq, payload, channel, true);
        case kArchiveReadBackward:
            return ArchiveRead(s, rq, payload, channel, false);
        default:
            break;
    }
    Log("unknown archive function " + std::to_string(function));
    Encode(ResultReply{-1}, reply.header);
    return reply;
}

Reply ServerCore::ArchiveRange(const Session& s, const TMsgHeader& rq) {
    Reply reply{ReplyHeader(rq), {}, {}};
    // Without recordings the reply repeats the client's values: no contribution.
    Encode(Decode<ArchiveRangeView>(rq), reply.header);
    const int64_t now = NowMs();
    bool any = false;
    int64_t earliest = 0;
    int64_t latest = 0;
    for (const auto& camera : cameras_) {
        if (!Serves(s, camera->Index())) continue;
        const int64_t last = camera->Timeline().LatestUnit(now);
        if (last < 0) continue;
        const int64_t first = camera->Timeline().UnitTime(0);
        const int64_t end = camera->Timeline().UnitTime(last);
        earliest = any ? std::min(earliest, first) : first;
        latest = any ? std::max(latest, end) : end;
        any = true;
    }
    if (any) {
        Encode(ArchiveRangeView{OleFromUnixMs(earliest), OleFromUnixMs(latest)}, reply.header);
    }
    return reply;
}

Reply ServerCore::ArchiveSeek(Session& s, const TMsgHeader& rq, int channel) {
    Reply reply{ReplyHeader(rq), {}, {}};
    const auto seek = Decode<ArchiveSeekRequest>(rq);
    const bool forward = (seek.direction & 0xFF) != 0;
    const int64_t target = OleToMs(seek.time);
    const int64_t now = NowMs();
    NextFrame next{forward};
    for (const auto& camera : cameras_) {
        if (!Serves(s, camera->Index())) continue;
        const CameraTimeline& line = camera->Timeline();
        const int64_t latest = line.LatestUnit(now);
        if (latest < 0) continue;
        const int64_t unit =
            forward ? line.FirstUnitAtOrAfter(target) : std::min(line.LastUnitAtOrBefore(target), latest);
        if (unit < 0 || unit > latest) continue;
        next.Offer(line.UnitTime(unit), camera->Index(), unit);
    }
    if (!next.found) {
        s.cursors[channel] = ArchiveCursor{};
        Encode(ArchiveSeekReply{seek.time, -1}, reply.header);
        return reply;
    }
    s.cursors[channel] = ArchiveCursor{true, next.time, next.camera, true};
    Encode(ArchiveSeekReply{OleFromUnixMs(next.time), 1}, reply.header);
    return reply;
}

Reply ServerCore::ArchiveRead(Session& s, const TMsgHeader& rq, const std::vector<uint8_t>& payload,
                              int channel, bool forward) {
    Reply reply{ReplyHeader(rq), {}, {}};
    // The mask holds one byte per camera of this server, in camera order.
    const auto read = Decode<ArchiveReadRequest>(rq);
    const size_t maskLength = std::min(payload.size(), static_cast<size_t>(std::max(0, read.maskLength)));
    std::vector<int> wanted;
    for (size_t i = 0; i < maskLength && i < cameras_.size(); ++i) {
        if (payload[i] != 0 && Serves(s, cameras_[i]->Index())) wanted.push_back(cameras_[i]->Index());
    }
    if (((read.camera | read.flags) & kArchiveFirstCameraOnlyFlag) != 0 && wanted.size() > 1) {
        wanted.erase(wanted.begin() + 1, wanted.end());
    }

    ArchiveCursor cursor = s.cursors[channel];
    if (!cursor.valid) {
        // Never positioned: start from the time the client sent.
        cursor = ArchiveCursor{true, OleToMs(read.time), forward ? -1 : INT_MAX, true};
    }
    const int64_t now = NowMs();
    NextFrame next{forward};
    for (int index : wanted) {
        const CameraTimeline& line = Camera(index)->Timeline();
        const int64_t latest = line.LatestUnit(now);
        if (latest < 0) continue;
        int64_t unit = 0;
        if (forward) {
            unit = line.FirstUnitAtOrAfter(cursor.timeMs);
            const bool passed = line.UnitTime(unit) == cursor.timeMs &&
                                (cursor.inclusive ? index < cursor.camera : index <= cursor.camera);
            if (passed) ++unit;
            if (unit > latest) continue;
        } else {
            unit = std::min(line.LastUnitAtOrBefore(cursor.timeMs), latest);
            const bool passed = unit >= 0 && line.UnitTime(unit) == cursor.timeMs &&
                                (cursor.inclusive ? index > cursor.camera : index >= cursor.camera);
            if (passed) --unit;
            if (unit < 0) continue;
        }
        next.Offer(line.UnitTime(unit), index, unit);
    }
    const int garbageEvery = Faults().garbageEvery;
    SharedBytes frame;
    if (next.found) {
        SimCamera& camera = *Camera(next.camera);
        frame = SimCamera::GarbageUnit(garbageEvery, next.unit) ? camera.BadUnit(next.unit, garbageEvery)
                                                                 : camera.Unit(next.unit);
    }
    if (!frame) {
        // Nothing further in this direction; the cursor stays where it is.
        Encode(ArchiveReadReply{read.time, 0, wanted.empty() ? 0 : wanted.front(), kArchiveNoFrameFlag, 0, 0},
               reply.header);
        return reply;
    }
    s.cursors[channel] = ArchiveCursor{true, next.time, next.camera, false};
    reply.AddShared(frame);
    // Main stream, no auxiliary block.
    Encode(ArchiveReadReply{OleFromUnixMs(next.time), 1, next.camera, 0, static_cast<int32_t>(frame->size()), 0},
           reply.header);
    return reply;
}

// ---------------------------------------------------------------------------
// Events, console, telemetry, positions

Reply ServerCore::Acknowledge(const TMsgHeader& rq, const std::vector<uint8_t>& payload) {
    Reply reply{ReplyHeader(rq), {}, {}};
    const auto cameraText = [](int32_t index) { return "camera " + std::to_string(index + 1); };
    switch (rq.command) {
        case kCmdCameraEvent: {
            const auto event = Decode<CameraEventRequest>(rq);
            const int code1 = event.code1 & 0xFF;
            const int code2 = event.code2 & 0xFF;
            Record(&Journal::cameraEvents, CameraEventRecord{event.camera, code1, code2, event.value1, event.value2});
            Log("event " + cameraText(event.camera) + " " + std::to_string(code1) + " " + std::to_string(code2) +
                " " + std::to_string(event.value1) + " " + std::to_string(event.value2));
            Encode(ResultReply{Camera(event.camera) != nullptr ? 1 : -1}, reply.header);
            break;
        }
        case kCmdServerEvent: {
            const auto event = Decode<ServerEventRequest>(rq);
            Record(&Journal::serverEvents, ServerEventRecord{event.value});
            Log("server event " + std::to_string(event.value));
            Encode(ResultReply{1}, reply.header);
            break;
        }
        case kCmdCameraMode: {
            const auto mode = Decode<CameraModeRequest>(rq);
            Record(&Journal::cameraModes, CameraModeRecord{mode.camera, mode.mode & 0xFF});
            Log("mode " + cameraText(mode.camera) + " " + std::to_string(mode.mode & 0xFF));
            Encode(ResultReply{1}, reply.header);
            break;
        }
        case kCmdCameraCommand: {
            const auto command = Decode<CameraCommandRequest>(rq);
            Record(&Journal::cameraCommands, CameraCommandRecord{command.camera, command.value1, command.value2});
            Log("command " + cameraText(command.camera) + " " + std::to_string(command.value1) + " " +
                std::to_string(command.value2));
            Encode(ResultReply{1}, reply.header);
            break;
        }
        case kCmdConsoleSwitchCamera: {
            const auto target = Decode<ConsoleSwitchRequest>(rq);
            Record(&Journal::consoleSwitches, ConsoleSwitchRecord{target.camera});
            Log("console switch to " + cameraText(target.camera));
            Encode(SecondResultReply{1}, reply.header);
            break;
        }
        case kCmdConsoleShowArchive: {
            const auto show = Decode<ConsoleArchiveRequest>(rq);
            Record(&Journal::consoleArchives,
                   ConsoleArchiveRecord{show.value, show.firstCamera, show.lastCamera, show.time1, show.time2});
            Log("console archive " + std::to_string(show.firstCamera + 1) + ".." + std::to_string(show.lastCamera + 1));
            // No block: the client does not say how large its buffer is.
            Encode(ConsoleArchiveReply{0, 1}, reply.header);
            break;
        }
        case kCmdTelemetryBlock: {
            const auto telemetry = Decode<TelemetryRequest>(rq);
            TelemetryRecord record{telemetry.camera, telemetry.command, {}};
            std::copy_n(payload.begin(), std::min(payload.size(), record.block.size()), record.block.begin());
            Record(&Journal::telemetry, record);
            Log("telemetry " + cameraText(telemetry.camera) + " command " + std::to_string(telemetry.command) +
                " speeds " + std::to_string(record.block[TelemetryBlock::kSpeed1]) + "/" +
                std::to_string(record.block[TelemetryBlock::kSpeed2]));
            Encode(SecondResultReply{1}, reply.header);
            break;
        }
        default:
            break;
    }
    return reply;
}

Reply ServerCore::CameraPosition(const TMsgHeader& rq) {
    Reply reply{ReplyHeader(rq), {}, {}};
    const auto rqPosition = Decode<PositionRequest>(rq);
    const int kind = rqPosition.kind;
    const int cameraIndex = rqPosition.camera;
    PositionRecord record{cameraIndex, kind, 0, 0, 0, 0, 0.0};
    std::lock_guard<std::mutex> lock(stateMutex_);
    TCameraPosition& position = positions_[cameraIndex];
    const PositionRequest& p = rqPosition;
    switch (kind) {
        case 1:
            Encode(PositionReply{1, RoundToInt32(position.x), RoundToInt32(position.y), RoundToInt32(position.z),
                                 position.value},
                   reply.header);
            break;
        case 2:
            position = TCameraPosition{p.value, 2, static_cast<double>(p.x), static_cast<double>(p.y),
                                       static_cast<double>(p.z)};
            record.x = p.x;
            record.y = p.y;
            record.z = p.z;
            record.value = p.value;
            Encode(ResultReply{1}, reply.header);
            break;
        case 3:
            position.kind = 3;
            position.x = p.x;
            position.y = p.y;
            position.z = p.zTime;
            record.x = p.x;
            record.y = p.y;
            record.zTime = p.zTime;
            Encode(ResultReply{1}, reply.header);
            break;
        default:
            Encode(ResultReply{-1}, reply.header);
            break;
    }
    if (journal_.positions.size() >= kJournalLimit) journal_.positions.erase(journal_.positions.begin());
    journal_.positions.push_back(record);
    if (options_.log) {
        options_.log(Join({"[", std::to_string(port_), "] position camera ", std::to_string(cameraIndex + 1),
                           " kind ", std::to_string(kind), " ", std::to_string(record.x), ",",
                           std::to_string(record.y), ",", std::to_string(record.z)}));
    }
    return reply;
}

}  // namespace orv_sim
