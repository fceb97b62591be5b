#include "video/DecodeThreadPool.h"

#include <algorithm>

namespace processing {

DecodeThreadPool::DecodeThreadPool(size_t threads) {
    guard_.emplace(boost::asio::make_work_guard(context_));
    const size_t count = std::max<size_t>(threads, 1);
    workers_.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        workers_.emplace_back([this] { context_.run(); });
    }
}

DecodeThreadPool::~DecodeThreadPool() { Stop(); }

size_t DecodeThreadPool::DefaultThreadCount() {
    const unsigned reported = std::thread::hardware_concurrency();
    return reported < 2 ? 1 : reported;
}

void DecodeThreadPool::Stop() {
    std::lock_guard lock(stopMutex_);
    if (stopped_) {
        return;
    }
    stopped_ = true;
    guard_.reset();
    context_.stop();
    for (std::thread& worker : workers_) {
        if (worker.joinable()) {
            worker.join();
        }
    }
}

bool DecodeThreadPool::Stopped() const {
    std::lock_guard lock(stopMutex_);
    return stopped_;
}

}  // namespace processing
