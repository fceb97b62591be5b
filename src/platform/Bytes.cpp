#include "platform/Bytes.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace platform {

void* AllocateBlock(size_t bytes) {
    if (bytes < kMappedBlockMin) return ::operator new(bytes == 0 ? 1 : bytes);
#ifdef _WIN32
    void* block = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (block == nullptr) throw std::bad_alloc();
#else
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
#endif
    return block;
}

void FreeBlock(void* block, size_t bytes) noexcept {
    if (block == nullptr) return;
    if (bytes < kMappedBlockMin) {
        ::operator delete(block);
        return;
    }
#ifdef _WIN32
    VirtualFree(block, 0, MEM_RELEASE);
#else
    munmap(block, bytes);
#endif
}

}  // namespace platform
