#include "platform/SharedBlock.h"

#ifdef _WIN32

#include <windows.h>

#include <cstring>

namespace platform {

SharedBlock::SharedBlock(std::string name, std::size_t size) : name_(std::move(name)), size_(size) {
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        static_cast<DWORD>(size_), name_.c_str());
    // Read at once: any call in between may change the thread's last error.
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    if (mapping == nullptr) {
        return;
    }
    mapping_ = mapping;
    view_ = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    created_ = !existed;
    if (view_ != nullptr && created_) {
        std::memset(view_, 0, size_);
    }
}

void SharedBlock::Release() {
    if (view_ != nullptr) {
        UnmapViewOfFile(view_);
        view_ = nullptr;
    }
    if (mapping_ != nullptr && mapping_ != INVALID_HANDLE_VALUE) {
        CloseHandle(static_cast<HANDLE>(mapping_));
    }
    mapping_ = nullptr;
}

SharedBlock::~SharedBlock() { Release(); }

}  // namespace platform

#endif  // _WIN32
