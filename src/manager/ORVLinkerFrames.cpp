// Frame retrieval and subscriptions as far as the manager carries them without the
// frame storage and the subscription registry: argument and state checks are real,
// and no frame is ever reported while no retrieval path is attached.
#include "manager/ORVLinker.h"
#include "platform/BoundedLock.h"
#include "protocol/Wire.h"

namespace {

constexpr int kLiveTries = 20;
constexpr int kArchiveTries = 600;

}  // namespace

int32_t ORVLinker::GetLiveFrames(int32_t& count, const std::vector<int32_t>& cameras, std::vector<TOrvFrame>& frames,
                                 int32_t /*requestedFormat*/, bool /*wantExtra*/) {
    if (!moduleReady_) {
        return -510;
    }
    count = 0;
    if (cameras.empty()) {
        return -5;
    }
    platform::BoundedLock lock(serverLock_, kLiveTries);
    if (!lock) {
        return -8;
    }
    lastLiveRequest_.store(orv_stuff::NowOleUtc());
    bool anyActive = false;
    for (const int32_t value : cameras) {
        const int32_t index = (value - 1) & 0xFFFF;
        if (index > kMaxCameraNumber - 1) {
            continue;
        }
        const ServerRecord* server = FindCamera(index);
        if (server != nullptr && server->state == 3 && IsActiveSlot(*server, SlotOf(*server, index))) {
            anyActive = true;
        }
    }
    if (!anyActive) {
        return -9;
    }
    frames.resize(cameras.size());
    return 0;  // count 0: no picture is ready
}

int32_t ORVLinker::GetArchiveFrame(int32_t /*channel*/, int32_t& got, const std::vector<int32_t>& cameras,
                                   int32_t /*requestValue*/, bool /*forward*/, TOrvFrame& /*frame*/,
                                   int32_t /*requestedFormat*/, double /*targetTime*/, bool /*firstCameraOnly*/) {
    if (!moduleReady_) {
        return -510;
    }
    if (cameras.empty()) {
        return -5;
    }
    platform::BoundedLock lock(serverLock_, kArchiveTries);
    if (!lock) {
        return -8;
    }
    got = 0;
    bool anyActive = false;
    for (const int32_t camera : cameras) {
        const int32_t index = camera - 1;
        if (index < 0 || index > kMaxCameraNumber - 1) {
            continue;
        }
        const ServerRecord* server = FindCamera(index);
        if (server != nullptr && server->state == 3 && IsActiveSlot(*server, SlotOf(*server, index))) {
            anyActive = true;
        }
    }
    return anyActive ? -8 : -9;
}

// ---------------------------------------------------------------------------
// Subscriptions: answered by the registry once it is attached (subscriptions_).

void ORVLinker::SetCameraRate(int32_t, int32_t) {}

int32_t ORVLinker::SubscribeLive(int32_t, uint8_t*, int32_t, int32_t, SubscriberCallback, void*) { return -1; }

int32_t ORVLinker::UnsubscribeLive(int32_t, SubscriberCallback, void*) { return -1; }

void ORVLinker::SetDeliveryPaused(int32_t) {}

int32_t ORVLinker::UnsupportedOne(int32_t) { return -600; }

int32_t ORVLinker::UnsupportedTwo(int32_t, int32_t) { return -600; }

void ORVLinker::SetDeliveryDirection(int32_t) {}

void ORVLinker::GetDeliveryDirection(int32_t&) {}

int32_t ORVLinker::SubscribeArchive(int32_t, uint8_t*, int32_t, int32_t, SubscriberCallback, void*) { return -1; }

int32_t ORVLinker::UnsubscribeArchive(int32_t, SubscriberCallback, void*) { return -1; }

void ORVLinker::SetDeliveryStopped(int32_t) {}

int32_t ORVLinker::SetDeliveryMode(int32_t mode) { return mode >= 1 && mode <= 4 ? -1 : -5; }

void ORVLinker::GetDeliveryMode(int32_t&) {}
