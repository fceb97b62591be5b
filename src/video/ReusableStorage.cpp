#include "video/ReusableStorage.h"

namespace helpers {

std::shared_ptr<processing::Sequence> SequenceReusableStorage::AcquireSized(size_t size) {
    std::shared_ptr<processing::Sequence> picked;
    {
        std::lock_guard lock(mutex_);
        if (free_.empty()) {
            picked = CreateLocked();
        } else {
            size_t best = 0;
            for (size_t i = 1; i < free_.size(); ++i) {
                const size_t have = free_[i]->payload.capacity();
                const size_t bestHave = free_[best]->payload.capacity();
                if (bestHave == size) {
                    break;
                }
                const bool haveAbove = have >= size;
                const bool bestAbove = bestHave >= size;
                if (have == size || (haveAbove && (!bestAbove || have < bestHave)) ||
                    (!haveAbove && !bestAbove && have > bestHave)) {
                    best = i;
                }
            }
            picked = std::move(free_[best]);
            free_.erase(free_.begin() + static_cast<std::ptrdiff_t>(best));
        }
    }
    if (picked) {
        // Outside the lock: growing a large buffer must not stall other users.
        picked->payload.clear();
        picked->payload.reserve(size);
    }
    return picked;
}

}  // namespace helpers
