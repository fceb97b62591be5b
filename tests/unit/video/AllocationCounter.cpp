#include "AllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

// Sanitizer runtimes bring their own operator new; counting is off there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORV_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ORV_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef ORV_COUNT_ALLOCATIONS
#define ORV_COUNT_ALLOCATIONS 1
#endif

namespace {

std::atomic<bool> gCounting{false};
std::atomic<int64_t> gCount{0};
std::thread::id gOwner;

[[maybe_unused]] void* Allocate(std::size_t size) {
    if (gCounting.load(std::memory_order_relaxed) && std::this_thread::get_id() != gOwner) {
        gCount.fetch_add(1, std::memory_order_relaxed);
    }
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

#if ORV_COUNT_ALLOCATIONS
void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace storage_test {

bool CountingAvailable() { return ORV_COUNT_ALLOCATIONS != 0; }

void StartCountingWorkerAllocations() {
    gOwner = std::this_thread::get_id();
    gCount = 0;
    gCounting = true;
}

int64_t StopCountingWorkerAllocations() {
    gCounting = false;
    return gCount.load();
}

}  // namespace storage_test
