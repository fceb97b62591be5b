// Every test process that initialises the library creates the same machine-wide named
// block, and the library's own tests check that block's creation alone. Tests that run
// the library (in-process or through orvctl) hold this advisory lock, the one those
// tests use, so ctest -j never runs them side by side.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace orvctl::test {

class LibraryUsersLock {
  public:
    LibraryUsersLock() {
        fd_ = open("/tmp/orv-sdk-block-tests.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            flock(fd_, LOCK_EX);
        }
    }
    ~LibraryUsersLock() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    LibraryUsersLock(const LibraryUsersLock&) = delete;
    LibraryUsersLock& operator=(const LibraryUsersLock&) = delete;

  private:
    int fd_ = -1;
};

}  // namespace orvctl::test
