// Bounded pools of shared objects that are recycled instead of freed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "video/Sequence.h"

namespace helpers {

// Hands out up to `capacity` objects, creating them on demand; released objects
// are kept for the next Acquire and freed only with the pool.
template <typename T>
class ReusableStorage {
public:
    explicit ReusableStorage(int32_t capacity) : capacity_(capacity) {
        free_.reserve(static_cast<size_t>(std::max(capacity, 0)));
    }
    virtual ~ReusableStorage() = default;
    ReusableStorage(const ReusableStorage&) = delete;
    ReusableStorage& operator=(const ReusableStorage&) = delete;

    // The last released object, or a new one while fewer than `capacity` exist;
    // empty when the pool is exhausted.
    virtual std::shared_ptr<T> Acquire() {
        std::lock_guard lock(mutex_);
        if (free_.empty()) {
            return CreateLocked();
        }
        std::shared_ptr<T> item = std::move(free_.back());
        free_.pop_back();
        return item;
    }

    // Gives an object back. Objects already free are not filed twice: handing the
    // same object to two users would let them overwrite each other's data.
    virtual void Release(std::shared_ptr<T> item) {
        if (!item) {
            return;
        }
        std::lock_guard lock(mutex_);
        if (std::find(free_.begin(), free_.end(), item) != free_.end()) {
            return;
        }
        free_.push_back(std::move(item));
    }

    int32_t Capacity() const { return capacity_; }
    int32_t Created() const {
        std::lock_guard lock(mutex_);
        return created_;
    }
    int32_t FreeCount() const {
        std::lock_guard lock(mutex_);
        return static_cast<int32_t>(free_.size());
    }

protected:
    // Caller holds mutex_ and found no free object.
    std::shared_ptr<T> CreateLocked() {
        if (created_ >= capacity_) {
            return {};
        }
        ++created_;
        return std::make_shared<T>();
    }

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<T>> free_;
    int32_t capacity_;
    int32_t created_ = 0;
};

// Sequence pool that prefers a free sequence whose buffer already fits the block.
class SequenceReusableStorage : public ReusableStorage<processing::Sequence> {
public:
    static constexpr int32_t kStorageCapacity = 64;     // archive streams of a frame storage
    static constexpr int32_t kProcessorCapacity = 160;  // queued blocks of one live processor

    using ReusableStorage::ReusableStorage;

    // Best fit on payload capacity: exactly `size`, else the smallest above it,
    // else the largest below it. The payload buffer is made ready for `size`
    // bytes (empty, with at least that capacity).
    std::shared_ptr<processing::Sequence> AcquireSized(size_t size);
};

}  // namespace helpers
