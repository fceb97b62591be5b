#include "platform/Bytes.h"

#include <iterator>
#include <mutex>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace platform {
namespace {

// Mapped blocks come in sizes of four steps per power of two, so that a freed
// block fits the next picture of about the same size, and the size a block was
// mapped with follows from the size it was asked for.
size_t MappedSize(size_t bytes) {
    size_t power = kMappedBlockMin;
    while (power <= bytes / 2) power *= 2;
    const size_t step = power / 4;
    return (bytes + step - 1) / step * step;
}

void* MapBlock(size_t mapped) {
#ifdef _WIN32
    void* block = VirtualAlloc(nullptr, mapped, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (block == nullptr) throw std::bad_alloc();
#else
    void* block = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
#endif
    return block;
}

void UnmapBlock(void* block, size_t mapped) noexcept {
#ifdef _WIN32
    (void)mapped;
    VirtualFree(block, 0, MEM_RELEASE);
#else
    munmap(block, mapped);
#endif
}

// Freed blocks kept for reuse, newest last, at most kCachedBlockLimit bytes: a
// host fetching pictures reuses the same few sizes, and a fresh mapping costs a
// page fault for every 4 KiB it is written to (about 1,500 for a 1080p BGR picture).
class BlockCache {
public:
    void* Take(size_t mapped) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = blocks_.size(); i-- > 0;) {
            if (blocks_[i].mapped != mapped) continue;
            void* block = blocks_[i].block;
            blocks_.erase(blocks_.begin() + static_cast<ptrdiff_t>(i));
            bytes_ -= mapped;
            return block;
        }
        return nullptr;
    }
    void Give(void* block, size_t mapped) noexcept {
        if (mapped > kCachedBlockLimit) {
            UnmapBlock(block, mapped);
            return;
        }
        // Blocks pushed out are unmapped after the lock is released, so other
        // threads' pictures do not wait for the system call.
        Cached evicted[8];
        size_t outside = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            try {
                blocks_.push_back({block, mapped});
            } catch (...) {
                UnmapBlock(block, mapped);
                return;
            }
            bytes_ += mapped;
            size_t oldest = 0;
            while (bytes_ > kCachedBlockLimit) {
                const Cached old = blocks_[oldest++];
                bytes_ -= old.mapped;
                if (outside < std::size(evicted)) {
                    evicted[outside++] = old;
                } else {
                    UnmapBlock(old.block, old.mapped);
                }
            }
            blocks_.erase(blocks_.begin(), blocks_.begin() + static_cast<ptrdiff_t>(oldest));
        }
        for (size_t i = 0; i < outside; ++i) UnmapBlock(evicted[i].block, evicted[i].mapped);
    }
    size_t Bytes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }

private:
    struct Cached {
        void* block;
        size_t mapped;
    };
    std::mutex mutex_;
    std::vector<Cached> blocks_;
    size_t bytes_ = 0;
};

// Never destroyed: blocks may still be freed while static objects are torn down.
BlockCache& Cache() {
    static BlockCache* cache = new BlockCache;
    return *cache;
}

}  // namespace

void* AllocateBlock(size_t bytes) {
    if (bytes < kMappedBlockMin) return ::operator new(bytes == 0 ? 1 : bytes);
    const size_t mapped = MappedSize(bytes);
    if (void* block = Cache().Take(mapped)) return block;
    return MapBlock(mapped);
}

void FreeBlock(void* block, size_t bytes) noexcept {
    if (block == nullptr) return;
    if (bytes < kMappedBlockMin) {
        ::operator delete(block);
        return;
    }
    Cache().Give(block, MappedSize(bytes));
}

size_t CachedBlockBytes() { return Cache().Bytes(); }

}  // namespace platform
