// Recognised plates: one thread takes every record from the library's queue, keeps the
// newest ones for GET /api/plates and pushes each to the event-stream listeners.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace gateway {

struct PlateEvent {
    uint64_t id = 0;
    std::string number;  // UTF-8
    int server = 0;
    int camera = 0;
    double localTime = 0;  // OLE date in the server's local time
};

// Called on the plate thread; must return at once.
class PlateSink {
  public:
    virtual ~PlateSink() = default;
    virtual void OnPlate(const PlateEvent& plate) = 0;
};

class PlateHub {
  public:
    PlateHub(std::chrono::milliseconds interval, size_t keep);
    ~PlateHub();
    PlateHub(const PlateHub&) = delete;
    PlateHub& operator=(const PlateHub&) = delete;

    // Every plate kept since the last call, oldest first; the kept list is emptied.
    std::vector<PlateEvent> Drain();
    void Subscribe(const std::shared_ptr<PlateSink>& sink);
    void Unsubscribe(const PlateSink* sink);
    void Stop();

  private:
    void Run();

    const std::chrono::milliseconds interval_;
    const size_t keep_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    uint64_t nextId_ = 1;
    std::deque<PlateEvent> kept_;
    std::vector<std::shared_ptr<PlateSink>> sinks_;
    std::thread thread_;
};

}  // namespace gateway
