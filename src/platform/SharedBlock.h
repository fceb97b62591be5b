// A small named shared-memory block for other processes on the same machine.
//
// Lifetime: a Windows named mapping disappears with its last handle, whereas a POSIX
// shared-memory object lives until shm_unlink. To keep the Windows behaviour every
// holder keeps a shared advisory lock (open-file-description lock) on the object; a
// holder that can take the exclusive lock knows it is alone. Such a holder is the
// creator on open (it zeroes the block, also a stale one left by a crashed process)
// and removes the name on release. Other holders never touch the contents.
// On Windows the block is a paging-file backed named mapping (SharedBlockWindows.cpp):
// the system gives it exactly that lifetime by itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class SharedBlock {
public:
#ifdef _WIN32
    static constexpr const char* kDefaultName = "OrvIntegrData";
#else
    static constexpr const char* kDefaultName = "/OrvIntegrData";
#endif
    static constexpr std::size_t kDefaultSize = 120;

    // Opens or creates the block and maps it. Failures are silent: IsMapped() is then false.
    explicit SharedBlock(std::string name = kDefaultName, std::size_t size = kDefaultSize);
    ~SharedBlock();
    SharedBlock(const SharedBlock&) = delete;
    SharedBlock& operator=(const SharedBlock&) = delete;

    bool IsMapped() const { return view_ != nullptr; }
    bool Created() const { return created_; }  // this holder created (and zeroed) it
    std::uint8_t* Data() { return static_cast<std::uint8_t*>(view_); }
    std::size_t Size() const { return size_; }
    const std::string& Name() const { return name_; }

    // Unmaps and closes; the name goes when no other holder remains. Idempotent.
    void Release();

private:
    std::string name_;
    std::size_t size_;
#ifdef _WIN32
    void* mapping_ = nullptr;  // HANDLE of the named mapping
#else
    bool OpenLocked();
    void MapView();
    bool StillNamed() const;
    void CloseHandle();

    int fd_ = -1;
#endif
    void* view_ = nullptr;
    bool created_ = false;
};

}  // namespace platform
