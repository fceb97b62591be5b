// Test processes that initialise the library share one named block; a test that
// checks its creation must be the only user. Every test that initialises the
// library, in-process or through orvctl and the gateway, holds this machine-wide
// advisory lock (also across ctest -j workers and test programs).
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace orv_test {

class BlockUsersLock {
public:
    BlockUsersLock() {
        fd_ = open("/tmp/orv-sdk-block-tests.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd_ >= 0) flock(fd_, LOCK_EX);
    }
    ~BlockUsersLock() {
        if (fd_ >= 0) close(fd_);
    }
    BlockUsersLock(const BlockUsersLock&) = delete;
    BlockUsersLock& operator=(const BlockUsersLock&) = delete;

private:
    int fd_ = -1;
};

}  // namespace orv_test
