#include "platform/SharedBlock.h"

#ifndef _WIN32

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace platform {
namespace {

constexpr int kOpenAttempts = 5;
constexpr int kReadLockTries = 1000;  // 1 ms apart: a creator holds the write lock only briefly

bool SetLock(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // whole object
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool SameObject(int fdA, int fdB) {
    struct stat a {};
    struct stat b {};
    if (fstat(fdA, &a) != 0 || fstat(fdB, &b) != 0) {
        return false;
    }
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

SharedBlock::SharedBlock(std::string name, std::size_t size) : name_(std::move(name)), size_(size) {
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        if (OpenLocked()) {
            break;
        }
    }
    if (fd_ < 0) {
        return;
    }
    MapView();
    // Now others may join; they see the zeroed block and leave it alone.
    SetLock(fd_, F_RDLCK);
}

void SharedBlock::MapView() {
    struct stat info {};
    if (fstat(fd_, &info) != 0 || static_cast<std::size_t>(info.st_size) < size_) {
        return;  // mapping beyond the object's end would fault on access
    }
    void* view = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (view == MAP_FAILED) {
        return;
    }
    view_ = view;
    if (created_) {
        std::memset(view_, 0, size_);
    }
}

// Opens the name and takes a lock on it. Returns false when the name was removed
// by a releasing holder in between (the caller retries with a fresh object).
bool SharedBlock::OpenLocked() {
    fd_ = shm_open(name_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        return true;  // nothing to retry
    }
    if (SetLock(fd_, F_WRLCK)) {
        created_ = true;
    } else {
        bool locked = false;
        for (int i = 0; i < kReadLockTries && !locked; ++i) {
            locked = SetLock(fd_, F_RDLCK);
            if (!locked) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        if (!locked) {
            CloseHandle();
            return true;
        }
    }
    if (!StillNamed()) {
        created_ = false;
        CloseHandle();
        return false;
    }
    if (created_) {
        fchmod(fd_, 0600);  // shm_open's mode is filtered by the umask
        if (ftruncate(fd_, static_cast<off_t>(size_)) != 0) {
            created_ = false;
            CloseHandle();
            return true;
        }
    }
    return true;
}

bool SharedBlock::StillNamed() const {
    const int probe = shm_open(name_.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (probe < 0) {
        return false;
    }
    const bool same = SameObject(fd_, probe);
    close(probe);
    return same;
}

void SharedBlock::CloseHandle() {
    if (fd_ >= 0) {
        close(fd_);  // also drops our lock
        fd_ = -1;
    }
}

void SharedBlock::Release() {
    if (view_ != nullptr) {
        munmap(view_, size_);
        view_ = nullptr;
    }
    if (fd_ < 0) {
        return;
    }
    // Alone with the object: remove the name, as the last handle of a named mapping would.
    if (SetLock(fd_, F_WRLCK) && StillNamed()) {
        shm_unlink(name_.c_str());
    }
    CloseHandle();
}

SharedBlock::~SharedBlock() { Release(); }

}  // namespace platform

#endif  // !_WIN32
