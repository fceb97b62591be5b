// Live and archive frame retrieval: requests go out per server in batches, the
// payloads that come back are told apart (JPEG or compressed video) and turned
// into the record format the caller asked for.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "manager/ORVLinker.h"
#include "manager/SubscriptionRegistry.h"
#include "platform/BoundedLock.h"
#include "protocol/Wire.h"
#include "video/BlockUpdate.h"
#include "video/PixelConvert.h"
#include "manager/ResultCode.h"

namespace {

constexpr int32_t kStateConnected = 3;

constexpr size_t kReceiveAreaBytes = 14'000'000;    // one camera's share of the receive buffer
constexpr size_t kArchiveAuxOffset = 12'000'000;    // auxiliary area of an archive read
constexpr int32_t kLiveBatchSize = 32;
constexpr int32_t kMaxLiveWidth = 3840;
constexpr int32_t kMaxLiveHeight = 2400;

constexpr int32_t kArchiveFlags = 0x15FF;
using orv_stuff::kArchiveFirstCameraOnlyFlag;
using orv_stuff::kArchiveNoFrameFlag;
using orv_stuff::kArchiveStreamBit;
constexpr int32_t kMaxRequestValue = 0xFFFFF;
constexpr int32_t kMinPassThroughBytes = 100;  // archive payloads passed on as received
constexpr int32_t kMinArchiveBlockBytes = 101;
constexpr double kNoDistance = 999999.0;
constexpr int kMaxTargetSearch = 100000;  // pictures one block can hold, with room

using processing::kRequestAsReceived;
using processing::kRequestCompressed;
using processing::kRequestYuyv;

bool IsJpeg(std::span<const uint8_t> payload) {
    return payload.size() >= 3 && payload[0] == 0xFF && payload[1] == 0xD8 && payload[2] == 0xFF;
}

// A JPEG payload asked for as Yuyv gives the native picture, and asked for as a
// compressed block or "as received" gives the JPEG itself: the record then never
// carries a picture left over from an earlier frame.
int32_t JpegRequest(int32_t requestedFormat) {
    switch (requestedFormat) {
    case kRequestYuyv:
        return processing::kRequestNative;
    case kRequestCompressed:
    case kRequestAsReceived:
        return processing::kRequestJpeg;
    default:
        return requestedFormat;
    }
}

bool KnownJpegRequest(int32_t request) {
    return request >= processing::kRequestRaw &&
           (request <= processing::kRequestGrey || request == processing::kRequestJpegOrNative);
}

void ClearPicture(TOrvFrame& frame) {
    frame.width = 0;
    frame.height = 0;
    frame.data.clear();
}

}  // namespace

// The workspace of the frame call running on this thread.
ORVLinker::FrameWork*& ORVLinker::CurrentWork() {
    thread_local FrameWork* work = nullptr;
    return work;
}

// Borrows a workspace from the pool for one frame call; a few are kept for reuse.
class ORVLinker::WorkLease {
public:
    explicit WorkLease(ORVLinker& owner) : owner_(owner), outer_(CurrentWork()) {
        {
            std::lock_guard lock(owner_.workLock_);
            if (!owner_.idleWork_.empty()) {
                work_ = std::move(owner_.idleWork_.back());
                owner_.idleWork_.pop_back();
            }
        }
        if (!work_) {
            work_ = std::make_unique<FrameWork>();
        }
        CurrentWork() = work_.get();
    }
    ~WorkLease() {
        CurrentWork() = outer_;
        constexpr size_t kKeptIdle = 8;
        std::lock_guard lock(owner_.workLock_);
        if (owner_.idleWork_.size() < kKeptIdle) {
            owner_.idleWork_.push_back(std::move(work_));
        }
    }
    WorkLease(const WorkLease&) = delete;
    WorkLease& operator=(const WorkLease&) = delete;

private:
    ORVLinker& owner_;
    FrameWork* outer_;
    std::unique_ptr<FrameWork> work_;
};

ORVLinker::FrameWork& ORVLinker::W() { return *CurrentWork(); }

std::shared_ptr<ORVLinker::CameraSlot> ORVLinker::FrameSlot(int32_t index) {
    std::lock_guard lock(frameStateLock_);
    auto& slot = frameStates_[index];
    if (!slot) {
        slot = std::make_shared<CameraSlot>();
        slot->state.camera = index;
    }
    return slot;
}

// A camera's frame state, its lock held for the conversion: two threads on two
// cameras convert at once, two on the same camera take turns.
class StateLoan {
public:
    StateLoan(ORVLinker& manager, int32_t index) : slot_(manager.FrameSlot(index)), lock_(slot_->mutex) {}
    StateLoan(const StateLoan&) = delete;
    StateLoan& operator=(const StateLoan&) = delete;
    CameraFrameState& operator*() { return slot_->state; }
    CameraFrameState* operator->() { return &slot_->state; }

private:
    std::shared_ptr<ORVLinker::CameraSlot> slot_;
    std::unique_lock<std::mutex> lock_;
};

bool ORVLinker::LastExtraData(std::vector<uint8_t>& data, double& time) {
    std::lock_guard lock(extraLock_);
    data = extraData_;
    time = extraDataTime_;
    return true;
}

ServerRecord* ORVLinker::FindActiveCamera(int32_t index) {
    for (auto& server : servers_) {
        const auto& info = server.serverInfo;
        if (server.state != kStateConnected || !server.camerasKnown || CameraCount(server) <= 0) {
            continue;
        }
        if (index < info.firstCamera || index > info.lastCamera) {
            continue;
        }
        const int32_t slot = SlotOf(server, index);
        return IsActiveSlot(server, slot) ? &server : nullptr;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Live frames

int32_t ORVLinker::GetLiveFrames(int32_t& count, const std::vector<int32_t>& cameras, std::vector<TOrvFrame>& frames,
                                 int32_t requestedFormat, bool wantExtra) {
    size_t inTarget = 0;
    return LiveFrames(count, cameras, frames, requestedFormat, wantExtra, nullptr, {}, inTarget);
}

int32_t ORVLinker::GetLiveFramesInto(int32_t& count, const std::vector<int32_t>& cameras,
                                     std::vector<TOrvFrame>& frames, int32_t requestedFormat, uint8_t* target,
                                     size_t targetCapacity, size_t& inTarget) {
    inTarget = 0;
    if (target == nullptr || targetCapacity == 0 || cameras.size() != 1) {
        return LiveFrames(count, cameras, frames, requestedFormat, false, nullptr, {}, inTarget);
    }
    // A payload passed on unchanged is received into the caller's buffer; a
    // picture decoded straight from a JPEG is decoded into it.
    const bool passesOn = processing::PassesOn(JpegRequest(requestedFormat), {}) != processing::PassOn::No;
    if (!passesOn) {
        return LiveFrames(count, cameras, frames, requestedFormat, false, nullptr,
                          std::span<uint8_t>(target, targetCapacity), inTarget);
    }
    orv_stuff::PayloadTarget payloadTarget;
    payloadTarget.data = target;
    payloadTarget.capacity = static_cast<int64_t>(std::min<size_t>(targetCapacity, kReceiveAreaBytes));
    return LiveFrames(count, cameras, frames, requestedFormat, false, &payloadTarget, {}, inTarget);
}

int32_t ORVLinker::LiveFrames(int32_t& count, const std::vector<int32_t>& cameras, std::vector<TOrvFrame>& frames,
                              int32_t requestedFormat, bool wantExtra, orv_stuff::PayloadTarget* target,
                              std::span<uint8_t> pictureTarget, size_t& inTarget) {
    inTarget = 0;
    if (!moduleReady_) {
        return orv_result::kNotReady;
    }
    count = 0;
    if (cameras.empty()) {
        return orv_result::kInvalidArgument;
    }
    WorkLease lease(*this);
    // The targets are used by this call only, through its workspace.
    W().liveTarget = target;
    W().livePictureTarget = pictureTarget;
    W().liveInTarget = 0;
    struct TargetReset {
        ORVLinker& self;
        size_t& inTarget;
        ~TargetReset() {
            inTarget = W().liveInTarget;
            W().liveTarget = nullptr;
            W().livePictureTarget = {};
            W().liveInTarget = 0;
        }
    } targetReset{*this, inTarget};
    lastLiveRequest_.store(orv_stuff::NowOleUtc());
    frames.resize(cameras.size());
    W().receiveBuffer.Reserve(std::min<size_t>(cameras.size(), kLiveBatchSize) * kReceiveAreaBytes);
    if (W().liveRequests.size() != static_cast<size_t>(kRequestServers) * kRequestsPerServer) {
        W().liveRequests.resize(static_cast<size_t>(kRequestServers) * kRequestsPerServer);
    }
    W().liveRequestCounts.fill(0);

    int32_t delivered = 0;
    bool anyActive = false;
    // The registry lock covers the look-up only: the exchanges and the decoding
    // below run without it, so other servers' calls never wait for this one.
    {
    platform::BoundedLock lock(serverLock_, kQueryTries);
    if (!lock) {
        return orv_result::kNoFrame;
    }
    for (const int32_t value : cameras) {
        const auto [index, selector] = orv_camera::SplitLiveValue(value);
        if (!orv_camera::ValidIndex(index)) {
            continue;
        }
        const ServerRecord* server = FindActiveCamera(index);
        if (server == nullptr) {
            continue;
        }
        anyActive = true;
        if (hasSentVideo_[static_cast<size_t>(index)].load(std::memory_order_relaxed) != 0 &&
            static_cast<size_t>(delivered) < frames.size() &&
            TakeDecodedLive(server->handle, index, requestedFormat, frames[static_cast<size_t>(delivered)])) {
            ++delivered;
        }
        QueueLiveRequest(*server, index, selector, wantExtra);
    }
    }
    if (!anyActive) {
        return orv_result::kCameraInactive;
    }
    bool room = true;
    for (int32_t handle = 1; handle < kRequestServers && room; ++handle) {
        const int32_t queued = W().liveRequestCounts[static_cast<size_t>(handle)];
        for (int32_t first = 0; first < queued && room; first += kLiveBatchSize) {
            room = ReadLiveBatch(handle, first, std::min(kLiveBatchSize, queued - first), cameras, frames, delivered,
                                 requestedFormat);
        }
    }
    for (int32_t i = 0; i < delivered; ++i) {
        frames[static_cast<size_t>(i)].camera = orv_camera::NumberOf(frames[static_cast<size_t>(i)].camera);
    }
    count = delivered;
    return 0;
}

// A picture the camera's decoding stream finished since the last call.
bool ORVLinker::TakeDecodedLive(int32_t handle, int32_t index, int32_t requestedFormat, TOrvFrame& frame) {
    bool found = false;
    bool took = frameStorage_->TakeLiveFrame(processing::LiveSequenceKey(handle, 0, index), frame, &found);
    if (!found) {
        took = frameStorage_->TakeLiveFrame(processing::LiveSequenceKey(handle, 1, index), frame, nullptr);
    }
    if (!took) {
        return false;
    }
    frame.camera = index;
    frame.format = Bgr24;
    frame.isColour = 1;
    switch (requestedFormat) {
    case processing::kRequestJpeg:
        // A failed encoding still delivers the Bgr24 picture.
        processing::EncodeBgrFrameToJpeg(W().liveCompressor, W().liveJpegOutput, frame, processing::kLiveJpegQuality);
        break;
    case processing::kRequestNative:
    case kRequestYuyv:
    case processing::kRequestJpegOrNative:
        processing::BgrFrameToYuyv(frame, W().conversionScratch);
        break;
    case processing::kRequestGrey:
        processing::BgrFrameToGrey(frame, W().conversionScratch);
        break;
    default:
        break;
    }
    return true;
}

void ORVLinker::QueueLiveRequest(const ServerRecord& server, int32_t index, uint32_t selector, bool wantExtra) {
    const int32_t handle = server.handle;
    if (handle < 1 || handle >= kRequestServers) {
        return;
    }
    int32_t& queued = W().liveRequestCounts[static_cast<size_t>(handle)];
    if (queued >= kRequestsPerServer) {
        return;
    }
    orv_stuff::TFrameEntry& entry =
        W().liveRequests[static_cast<size_t>(handle) * kRequestsPerServer + static_cast<size_t>(queued)];
    ++queued;
    entry = orv_stuff::TFrameEntry{};
    entry.camera = index;
    // Only the main stream is scaled down by the server; sub-streams come as they are.
    if (selector == 0) {
        entry.maxWidth = kMaxLiveWidth;
        entry.maxHeight = kMaxLiveHeight;
    }
    {
        StateLoan state(*this, index);
        entry.frameId = state->lastFrameId;
        entry.time = state->lastTime;
    }
    if (versionedAdd_) {
        entry.longForm = 1;
        entry.extraFlag = wantExtra ? 1 : 0;
    }
}

// One protocol exchange for up to 32 cameras of one server. False once `frames`
// is full: nothing more can be delivered in this call.
bool ORVLinker::ReadLiveBatch(int32_t handle, int32_t first, int32_t size, const std::vector<int32_t>& cameras,
                              std::vector<TOrvFrame>& frames, int32_t& delivered, int32_t requestedFormat) {
    const auto* queued = &W().liveRequests[static_cast<size_t>(handle) * kRequestsPerServer + static_cast<size_t>(first)];
    std::copy(queued, queued + size, W().liveBatch.begin());
    int32_t replies = size;
    const uint8_t* data = nullptr;
    int32_t result = 0;
    const bool extended = versionedAdd_;
    orv_stuff::PayloadTarget* target = size == 1 ? W().liveTarget : nullptr;
    if (target != nullptr) {
        target->used = false;
    }
    if (extended) {
        // Received into this call's workspace, so the bytes stay valid once the
        // server's connection lock is released.
        result = module_->ReadLiveFramesEx(handle, replies, W().liveBatch.data(), data, target, &W().receiveBuffer);
    } else {
        const auto capacity = static_cast<int32_t>(
            std::min<size_t>(W().receiveBuffer.Capacity(), static_cast<size_t>(std::numeric_limits<int32_t>::max())));
        result = module_->ReadLiveFrames(handle, replies, W().liveBatch.data(), W().receiveBuffer.Data(), capacity, target);
        data = target != nullptr && target->used ? target->data : W().receiveBuffer.Data();
    }
    if (result <= 0 || replies <= 0 || data == nullptr) {
        return true;
    }
    replies = std::min(replies, size);  // the client never answers more entries than were asked
    size_t offset = 0;
    for (int32_t i = 0; i < replies; ++i) {
        const orv_stuff::TFrameEntry& entry = W().liveBatch[static_cast<size_t>(i)];
        int32_t lengths[orv_stuff::kFrameEntryBlockCount];
        orv_stuff::FrameEntryBlockLengths(entry, lengths);
        size_t area[orv_stuff::kFrameEntryBlockCount] = {};
        for (int b = 0; b < orv_stuff::kFrameEntryBlockCount; ++b) {
            area[b] = lengths[b] > 0 ? static_cast<size_t>(lengths[b]) : 0;
        }
        if (!extended) {
            area[5] = 0;  // the basic form carries no extra data
        }
        // Blocks: lead 1, lead 2, payload, auxiliary, trailing, extra.
        const uint8_t* payloadStart = data + offset + area[0] + area[1];
        const std::span<const uint8_t> payload(payloadStart, area[2]);
        const std::span<const uint8_t> aux(payloadStart + area[2], area[3]);
        const uint8_t* extra = payloadStart + area[2] + area[3] + area[4];
        offset += area[0] + area[1] + area[2] + area[3] + area[4] + area[5];
        const bool validCamera = orv_camera::ValidIndex(entry.camera);
        if (static_cast<size_t>(delivered) >= frames.size()) {
            // No record left in this call. A compressed block to be decoded needs none
            // now (its pictures come with later calls), so it still goes to the frame
            // storage: a call that delivered a decoded picture would otherwise drop the
            // camera's next block, and the server may have moved past it by the next call.
            if (validCamera && payload.size() >= 4 && !IsJpeg(payload) && !PassesCompressedOn(requestedFormat)) {
                PushLiveCompressed(handle, entry, payload, cameras);
            }
            continue;
        }
        KeepExtraData(entry, extra, extended);

        if (!validCamera) {
            continue;  // not a camera this call could have asked for
        }
        TOrvFrame& frame = frames[static_cast<size_t>(delivered)];
        bool counted = false;
        if (payload.size() < 4) {
            // Changed blocks may come alone, to be laid over the camera's last picture.
            counted = payload.empty() && !aux.empty() && LiveBlockUpdateOnly(entry, aux, requestedFormat, frame);
        } else if (IsJpeg(payload)) {
            counted = LiveJpeg(entry, payload, aux, requestedFormat, frame);
        } else {
            counted = LiveCompressed(handle, entry, payload, cameras, requestedFormat, frame);
        }
        if (counted) {
            ++delivered;
        }
    }
    return static_cast<size_t>(delivered) < frames.size();
}

void ORVLinker::KeepExtraData(const orv_stuff::TFrameEntry& entry, const uint8_t* extra, bool extended) {
    std::lock_guard lock(extraLock_);
    if (!extended || entry.extraFlag == 0) {
        extraData_.clear();
        return;
    }
    if (entry.extraLength > 0) {
        extraData_.assign(extra, extra + entry.extraLength);
        extraDataTime_ = entry.extraTime;
    }
}

bool ORVLinker::LiveJpeg(const orv_stuff::TFrameEntry& entry, std::span<const uint8_t> payload,
                         std::span<const uint8_t> aux, int32_t requestedFormat, TOrvFrame& frame) {
    frame.camera = entry.camera;
    frame.time = entry.time;
    const int32_t request = JpegRequest(requestedFormat);
    if (!KnownJpegRequest(request)) {
        return false;  // nothing this format could be made of
    }
    const processing::PassOn passOn = processing::PassesOn(request, aux);
    if (W().liveTarget != nullptr && W().liveTarget->used && payload.data() == W().liveTarget->data &&
        passOn != processing::PassOn::No) {
        // Received where the caller wants it: the record only describes it.
        if (!processing::DescribePassedOn(W().liveDecode, payload, passOn, frame)) {
            ClearPicture(frame);
            return false;
        }
        W().liveInTarget = payload.size();
        return true;
    }
    bool converted = false;
    {
        StateLoan state(*this, entry.camera);
        // The caller's buffer takes one picture at most.
        W().liveWorkspace.outside = W().liveInTarget == 0 ? W().livePictureTarget : std::span<uint8_t>();
        converted = processing::ConvertLiveJpeg(W().liveDecode, W().liveWorkspace, *state, entry.frameId, entry.time,
                                                payload, aux, request, frame);
        W().liveWorkspace.outside = {};
    }
    if (!converted) {
        ClearPicture(frame);  // the record is reused by the next entry
        return false;
    }
    W().liveInTarget = std::max(W().liveInTarget, W().liveWorkspace.inOutside);
    return true;
}

// An entry without payload whose auxiliary data updates blocks of the camera's
// last full picture. Formats that pass a JPEG on as received get the updated
// picture encoded as JPEG, since no received JPEG shows it.
bool ORVLinker::LiveBlockUpdateOnly(const orv_stuff::TFrameEntry& entry, std::span<const uint8_t> aux,
                                    int32_t requestedFormat, TOrvFrame& frame) {
    {
        StateLoan state(*this, entry.camera);
        if (!state->picture || state->picture->empty() ||
            !processing::ParseBlockUpdate(aux, state->width, state->height)) {
            return false;
        }
    }
    int32_t request = JpegRequest(requestedFormat);
    bool encode = false;
    if (request == processing::kRequestJpegOrNative) {
        request = processing::kRequestNative;
    } else if (request == processing::kRequestRaw || request == processing::kRequestJpeg) {
        request = processing::kRequestBgr;
        encode = true;
    } else if (!KnownJpegRequest(request)) {
        return false;
    }
    frame.camera = entry.camera;
    frame.time = entry.time;
    bool converted = false;
    {
        StateLoan state(*this, entry.camera);
        converted = processing::ConvertLiveJpeg(W().liveDecode, W().liveWorkspace, *state, entry.frameId, entry.time,
                                                std::span<const uint8_t>(), aux, request, frame);
    }
    if (!converted || frame.data.empty()) {
        ClearPicture(frame);
        return false;
    }
    if (encode) {
        processing::EncodeBgrFrameToJpeg(W().liveCompressor, W().liveJpegOutput, frame, processing::kLiveJpegQuality);
    }
    return true;
}

// Formats that take a compressed block itself instead of the pictures decoded from it.
bool ORVLinker::PassesCompressedOn(int32_t requestedFormat) {
    return requestedFormat == kRequestCompressed || requestedFormat == kRequestAsReceived;
}

// Records that the camera sent compressed video and moves its frame state on to
// the entry; true when the block is the camera's first.
bool ORVLinker::NoteCompressedBlock(const orv_stuff::TFrameEntry& entry) {
    const int32_t index = entry.camera;
    hasSentVideo_[static_cast<size_t>(index)].store(1, std::memory_order_relaxed);
    StateLoan state(*this, index);
    const bool firstBlock = state->lastFrameId == 0;
    state->lastFrameId = entry.frameId;
    state->lastTime = entry.time;
    return firstBlock;
}

// Hands a compressed block to the camera's decoding stream; its pictures come with later calls.
void ORVLinker::PushLiveCompressed(int32_t handle, const orv_stuff::TFrameEntry& entry,
                                   std::span<const uint8_t> payload, const std::vector<int32_t>& cameras) {
    const bool firstBlock = NoteCompressedBlock(entry);
    const int32_t index = entry.camera;
    // The stream selector the caller used for this camera decides the stream.
    uint32_t selector = 0;
    for (const int32_t value : cameras) {
        const orv_camera::LiveSelection selection = orv_camera::SplitLiveValue(value);
        if (selection.index == index) {
            selector = selection.selector;
            break;
        }
    }
    const processing::SequenceKey key =
        processing::LiveSequenceKey(handle, static_cast<int32_t>(selector), index);
    // Failures (no decoder, pool exhausted, unparsable block) only mean no picture.
    frameStorage_->PushLiveBlock(key, payload.data(), payload.size(), firstBlock);
}

bool ORVLinker::LiveCompressed(int32_t handle, const orv_stuff::TFrameEntry& entry, std::span<const uint8_t> payload,
                               const std::vector<int32_t>& cameras, int32_t requestedFormat, TOrvFrame& frame) {
    if (!PassesCompressedOn(requestedFormat)) {
        PushLiveCompressed(handle, entry, payload, cameras);
        return false;
    }
    NoteCompressedBlock(entry);
    frame.camera = entry.camera;
    frame.time = entry.time;
    if (!processing::ParseBlock(payload.data(), payload.size(), &W().parsedBlock, false)) {
        return false;
    }
    frame.format = Compressed;
    frame.width = 0;
    frame.height = 0;
    frame.frameTimes.assign(W().parsedBlock.times.begin(), W().parsedBlock.times.end());
    const uint8_t* block = W().parsedBlock.PayloadData();
    const int32_t blockSize = W().parsedBlock.PayloadSize();
    if (block != nullptr && blockSize > 0) {
        frame.data.assign(block, block + blockSize);
    } else {
        frame.data.clear();
    }
    return true;
}

// ---------------------------------------------------------------------------
// Archive frames

bool ORVLinker::MarkActiveCameras(std::span<const int32_t> cameras, std::span<uint8_t> mask, int32_t& firstMarked,
                                  uint32_t* owners) {
    std::fill(mask.begin(), mask.end(), uint8_t{0});
    firstMarked = -1;
    // The look-up only: reads and decoding run without the registry lock.
    platform::BoundedLock lock(serverLock_, kQueryTries);
    if (!lock) {
        return false;
    }
    for (const int32_t camera : cameras) {
        const int64_t index = static_cast<int64_t>(camera) - 1;
        if (index < 0 || index >= static_cast<int64_t>(mask.size())) {
            continue;
        }
        const ServerRecord* owner = FindActiveCamera(static_cast<int32_t>(index));
        if (owner == nullptr) {
            continue;
        }
        if (owners != nullptr) {
            *owners |= ArchiveResetBit(owner->handle);
        }
        mask[static_cast<size_t>(index)] = 1;
        if (firstMarked < 0) {
            firstMarked = static_cast<int32_t>(index);
        }
    }
    return true;
}

int32_t ORVLinker::GetArchiveFrame(int32_t channel, int32_t& got, const std::vector<int32_t>& cameras,
                                   int32_t requestValue, bool forward, TOrvFrame& frame, int32_t requestedFormat,
                                   double targetTime, bool firstCameraOnly) {
    if (!moduleReady_) {
        return orv_result::kNotReady;
    }
    if (cameras.empty()) {
        return orv_result::kInvalidArgument;
    }
    if (channel < 0 || channel >= kArchiveChannels) {
        return orv_result::kInvalidArgument;
    }
    WorkLease lease(*this);
    got = 0;
    const int32_t value = std::clamp(requestValue, 0, kMaxRequestValue);

    int32_t firstMarked = -1;
    if (!MarkActiveCameras(cameras, W().archiveCameraMask, firstMarked)) {
        return orv_result::kNoFrame;
    }
    if (firstMarked < 0) {
        return orv_result::kCameraInactive;
    }
    double time = 0.0;
    {
        std::lock_guard archive(archiveLock_);
        if (requestValue < 0) {
            lastArchiveTime_[static_cast<size_t>(channel)] = 0.0;
            frameStorage_->ResetArchive(channel);
        }
        time = lastArchiveTime_[static_cast<size_t>(channel)];
    }

    // The camera field goes out with the first-camera-only request, the flags field
    // with the wanted frame kinds; the reply brings the camera index and frame flags back.
    int32_t index = firstCameraOnly ? (firstMarked | kArchiveFirstCameraOnlyFlag) : 0;
    int32_t flags = firstCameraOnly ? (kArchiveFlags | kArchiveFirstCameraOnlyFlag) : kArchiveFlags;
    W().receiveBuffer.Reserve(kReceiveAreaBytes);
    uint8_t* payloadArea = W().receiveBuffer.Data();
    uint8_t* auxArea = W().receiveBuffer.Data() + kArchiveAuxOffset;
    int32_t payloadLength = 0;
    int32_t auxLength = 0;
    constexpr auto kPayloadCapacity = static_cast<int32_t>(kArchiveAuxOffset);
    constexpr auto kAuxCapacity = static_cast<int32_t>(kReceiveAreaBytes - kArchiveAuxOffset);
    const int32_t result =
        forward ? module_->ReadArchiveForward(channel, value, index, W().archiveCameraMask.data(), flags, time,
                                              payloadArea, kPayloadCapacity, payloadLength, auxArea, kAuxCapacity,
                                              auxLength)
                : module_->ReadArchiveBackward(channel, value, index, W().archiveCameraMask.data(), flags, time,
                                               payloadArea, kPayloadCapacity, payloadLength, auxArea, kAuxCapacity,
                                               auxLength);
    if (result <= 0) {
        return orv_result::kFailed;
    }
    frame.camera = index;
    frame.time = time;
    {
        std::lock_guard archive(archiveLock_);
        lastArchiveTime_[static_cast<size_t>(channel)] = time;
    }
    if ((flags & kArchiveNoFrameFlag) != 0) {
        frame.camera = orv_camera::NumberOf(frame.camera);
        return orv_result::kNoFrame;
    }
    const auto n = static_cast<size_t>(std::clamp(payloadLength, 0, kPayloadCapacity));
    const std::span<const uint8_t> payload(payloadArea, n);
    if (n <= 3) {
        frame.data.clear();
        frame.format = Raw;
        frame.width = 0;
        frame.height = 0;
        frame.camera = orv_camera::NumberOf(frame.camera);
        got = 1;
        return 0;
    }
    if (requestedFormat == kRequestAsReceived) {
        if (n < static_cast<size_t>(kMinPassThroughBytes)) {
            return orv_result::kNoFrame;
        }
        frame.data.assign(payload.begin(), payload.end());
        frame.format = IsJpeg(payload) ? Jpeg : Compressed;
        frame.width = 0;
        frame.height = 0;
        frame.camera = orv_camera::NumberOf(frame.camera);
        got = 1;
        return 0;
    }
    if (IsJpeg(payload)) {
        const std::span<const uint8_t> aux(auxArea, static_cast<size_t>(std::clamp(auxLength, 0, kAuxCapacity)));
        const bool converted = processing::ConvertArchiveJpeg(W().archiveDecode, W().archiveWorkspace, payload, aux,
                                                              JpegRequest(requestedFormat), frame);
        frame.camera = orv_camera::NumberOf(frame.camera);
        if (!converted) {
            return orv_result::kNotDecodable;
        }
        got = 1;
        return 0;
    }
    return ArchiveCompressed(channel, index, flags, payload, frame, requestedFormat, targetTime, got);
}

int32_t ORVLinker::ArchiveCompressed(int32_t channel, int32_t index, int32_t flags, std::span<const uint8_t> payload,
                                     TOrvFrame& frame, int32_t requestedFormat, double targetTime, int32_t& got) {
    int32_t server = 0;
    {
        std::lock_guard lock(serverLock_);
        if (const ServerRecord* owner = FindCamera(index)) {
            server = owner->handle;
        }
    }
    std::unique_lock archive(archiveLock_);
    uint32_t& resets = archiveResetServers_[static_cast<size_t>(channel)];
    if (const uint32_t bit = ArchiveResetBit(server); (resets & bit) != 0) {
        resets &= ~bit;
        frameStorage_->ResetArchive(channel, server);
    }
    const int32_t streamBit = (flags & kArchiveStreamBit) != 0 ? 1 : 0;
    const processing::SequenceKey key = processing::ArchiveSequenceKey(channel, server, streamBit, index);
    if (orv_camera::ValidIndex(index)) {
        uint8_t& stored = archiveStreamBits_[static_cast<size_t>(channel)][static_cast<size_t>(index)];
        if (stored != streamBit) {
            // The camera switched streams: the old stream's sequence goes back to the pool.
            frameStorage_->RemoveArchiveStream(processing::ArchiveSequenceKey(channel, server, stored, index));
            stored = static_cast<uint8_t>(streamBit);
        }
    }
    archive.unlock();
    if (payload.size() >= static_cast<size_t>(kMinArchiveBlockBytes) &&
        !frameStorage_->PushArchiveBlock(key, payload.data(), payload.size())) {
        frame.camera = index + 1;
        return orv_result::kNotDecodable;
    }

    bool picture = false;
    if (targetTime < 1.0) {
        picture = frameStorage_->TakeArchiveFrame(key, frame);
    } else {
        // Pictures come in time order: take them while they get closer to the target.
        frame.data.clear();
        double best = kNoDistance;
        for (int taken = 0; taken < kMaxTargetSearch; ++taken) {
            if (!frameStorage_->TakeArchiveFrame(key, W().archiveCandidate) || W().archiveCandidate.data.empty()) {
                break;
            }
            const double distance = std::fabs(W().archiveCandidate.time - targetTime);
            if (!(distance < best)) {
                break;
            }
            best = distance;
            std::swap(frame, W().archiveCandidate);
        }
        picture = !frame.data.empty();
    }
    frame.camera = index;
    if (picture) {
        frame.format = frame.isColour != 0 ? Yuyv : Grey8;
        if (requestedFormat == processing::kRequestBgr || requestedFormat == processing::kRequestJpeg) {
            processing::NativeFrameToBgr(frame, W().conversionScratch);
        }
        if (requestedFormat == processing::kRequestJpeg) {
            processing::EncodeBgrFrameToJpeg(W().archiveCompressor, W().archiveJpegOutput, frame,
                                             processing::kArchiveJpegQuality);
        }
    }
    frame.camera = orv_camera::NumberOf(frame.camera);
    if (!picture) {
        return orv_result::kNoFrame;
    }
    got = 1;
    return 0;
}

// ---------------------------------------------------------------------------
// Subscriptions: forwarded to the registry, which takes no server lock. It is
// absent only while the manager is being destroyed.

void ORVLinker::SetCameraRate(int32_t camera, int32_t rate) {
    if (subscriptions_) {
        subscriptions_->SetCameraRate(camera, rate);
    }
}

int32_t ORVLinker::SubscribeLive(int32_t camera, uint8_t* buffer, int32_t bufferSize, int32_t unused,
                                 SubscriberCallback callback, void* userData) {
    return subscriptions_ ? subscriptions_->SubscribeLive(camera, buffer, bufferSize, unused, callback, userData)
                          : -1;
}

int32_t ORVLinker::UnsubscribeLive(int32_t camera, SubscriberCallback callback, void* userData) {
    return subscriptions_ ? subscriptions_->UnsubscribeLive(camera, callback, userData) : -1;
}

void ORVLinker::SetDeliveryPaused(int32_t paused) {
    if (subscriptions_) {
        subscriptions_->SetDeliveryPaused(paused);
    }
}

int32_t ORVLinker::UnsupportedOne(int32_t) { return orv_result::kNotSupported; }

int32_t ORVLinker::UnsupportedTwo(int32_t, int32_t) { return orv_result::kNotSupported; }

void ORVLinker::SetDeliveryDirection(int32_t forward) {
    if (subscriptions_) {
        subscriptions_->SetDeliveryDirection(forward);
    }
}

void ORVLinker::GetDeliveryDirection(int32_t& forward) {
    if (subscriptions_) {
        subscriptions_->GetDeliveryDirection(forward);
    }
}

int32_t ORVLinker::SubscribeArchive(int32_t camera, uint8_t* buffer, int32_t bufferSize, int32_t unused,
                                    SubscriberCallback callback, void* userData) {
    return subscriptions_ ? subscriptions_->SubscribeArchive(camera, buffer, bufferSize, unused, callback, userData)
                          : -1;
}

int32_t ORVLinker::UnsubscribeArchive(int32_t camera, SubscriberCallback callback, void* userData) {
    return subscriptions_ ? subscriptions_->UnsubscribeArchive(camera, callback, userData) : -1;
}

void ORVLinker::SetDeliveryStopped(int32_t stopped) {
    if (subscriptions_) {
        subscriptions_->SetDeliveryStopped(stopped);
    }
}

int32_t ORVLinker::SetDeliveryMode(int32_t mode) {
    if (mode < 1 || mode > 4) {
        return orv_result::kInvalidArgument;
    }
    return subscriptions_ ? subscriptions_->SetDeliveryMode(mode) : -1;
}

void ORVLinker::GetDeliveryMode(int32_t& mode) {
    if (subscriptions_) {
        subscriptions_->GetDeliveryMode(mode);
    }
}
