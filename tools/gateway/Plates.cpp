#include "Plates.h"

#include <algorithm>
#include <array>

#include "TextEncoding.h"
#include "orv_sdk.h"

namespace gateway {

PlateHub::PlateHub(std::chrono::milliseconds interval, size_t keep) : interval_(interval), keep_(keep) {
    ORV_KeloEnablePlateDetect(1);
    thread_ = std::thread([this] { Run(); });
}

PlateHub::~PlateHub() { Stop(); }

void PlateHub::Stop() {
    {
        std::lock_guard lock(mutex_);
        if (stop_) {
            return;
        }
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    {
        std::lock_guard lock(mutex_);
        sinks_.clear();
    }
    ORV_KeloEnablePlateDetect(0);
}

std::vector<PlateEvent> PlateHub::Drain() {
    std::lock_guard lock(mutex_);
    std::vector<PlateEvent> out(kept_.begin(), kept_.end());
    kept_.clear();
    return out;
}

void PlateHub::Subscribe(const std::shared_ptr<PlateSink>& sink) {
    std::lock_guard lock(mutex_);
    sinks_.push_back(sink);
}

void PlateHub::Unsubscribe(const PlateSink* sink) {
    std::lock_guard lock(mutex_);
    std::erase_if(sinks_, [sink](const auto& s) { return s.get() == sink; });
}

void PlateHub::Run() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, interval_, [this] { return stop_; })) {
        lock.unlock();
        // Take everything queued now; no picture is asked for, the event links to one.
        for (int taken = 0; taken < 1000; ++taken) {
            std::array<char, 32> number{};
            PlateEvent plate;
            int width = 0, height = 0, size = 0;
            const int code = ORV_KeloGetPlateNumber(number.data(), &plate.server, &plate.camera, &plate.localTime, 0,
                                                    0, nullptr, 0, &width, &height, &size);
            if (code != ORV_OK) {
                break;
            }
            number.back() = '\0';
            plate.number = orvctl::Cp1251ToUtf8(number.data());
            std::vector<std::shared_ptr<PlateSink>> sinks;
            {
                std::lock_guard guard(mutex_);
                plate.id = nextId_++;
                kept_.push_back(plate);
                while (kept_.size() > keep_) {
                    kept_.pop_front();
                }
                sinks = sinks_;
            }
            for (const auto& sink : sinks) {
                sink->OnPlate(plate);
            }
        }
        lock.lock();
    }
}

}  // namespace gateway
