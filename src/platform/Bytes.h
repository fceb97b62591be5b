// Byte storage for pictures, stream data and network areas.
//
// Blocks of 256 KiB and more are mapped from the system directly. Through the
// ordinary heap a busy host ends up with pictures in the arenas of many threads,
// where the allocator keeps them after they are freed, so the process grows for
// hours although the library holds no more than before. Freed mapped blocks are
// kept for reuse up to kCachedBlockLimit bytes in all (the newest ones) and the
// rest given back to the system. Smaller blocks use the heap as usual.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace platform {

// Blocks at least this large are mapped.
constexpr size_t kMappedBlockMin = size_t{256} << 10;
// Freed mapped blocks kept for reuse, in bytes.
constexpr size_t kCachedBlockLimit = size_t{48} << 20;

// Throws std::bad_alloc when there is no memory.
void* AllocateBlock(size_t bytes);
void FreeBlock(void* block, size_t bytes) noexcept;
// What the freed blocks kept for reuse take, in bytes.
size_t CachedBlockBytes();

template <class T>
struct BlockAllocator {
    using value_type = T;
    BlockAllocator() = default;
    template <class U>
    BlockAllocator(const BlockAllocator<U>&) noexcept {}
    T* allocate(size_t n) {
        if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(AllocateBlock(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) noexcept { FreeBlock(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const BlockAllocator<U>&) const noexcept {
        return true;
    }
};

// A picture's or a stream's bytes.
using Bytes = std::vector<uint8_t, BlockAllocator<uint8_t>>;

// The same bytes, whichever way each side was allocated.
inline bool operator==(const Bytes& a, const std::vector<uint8_t>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// A working area that only grows and never zero-fills: its users rewrite what
// they read, so committing zeroes would only cost page faults on every growth.
class RawBuffer {
public:
    RawBuffer() = default;
    explicit RawBuffer(size_t capacity) { Reserve(capacity); }
    ~RawBuffer() { Release(); }
    RawBuffer(RawBuffer&& other) noexcept : data_(other.data_), capacity_(other.capacity_) {
        other.data_ = nullptr;
        other.capacity_ = 0;
    }
    RawBuffer& operator=(RawBuffer&& other) noexcept {
        if (this != &other) {
            Release();
            data_ = other.data_;
            capacity_ = other.capacity_;
            other.data_ = nullptr;
            other.capacity_ = 0;
        }
        return *this;
    }
    RawBuffer(const RawBuffer&) = delete;
    RawBuffer& operator=(const RawBuffer&) = delete;

    // Makes the capacity at least n; allocates exactly n when it must grow.
    // Existing contents are not kept.
    void Reserve(size_t n) {
        if (n <= capacity_) return;
        Release();
        data_ = static_cast<uint8_t*>(AllocateBlock(n));
        capacity_ = n;
    }
    uint8_t* Data() { return data_; }
    const uint8_t* Data() const { return data_; }
    size_t Capacity() const { return capacity_; }

private:
    void Release() noexcept {
        if (data_ != nullptr) FreeBlock(data_, capacity_);
        data_ = nullptr;
        capacity_ = 0;
    }
    uint8_t* data_ = nullptr;
    size_t capacity_ = 0;
};

}  // namespace platform
