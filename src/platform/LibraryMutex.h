// The one library lock, shared/exclusive: ordinary calls hold it shared, Init and
// Uninit exclusive. The shared part is the standard library's on every platform:
// boost::shared_mutex cost a live call about 3 % at 2160p (two round trips through
// its internal mutex and Boost's thread data per call). The turnstile is
// boost::mutex where Boost.Thread is installed as a compiled library (Linux); on
// Windows the standard library's, which MinGW's posix thread model provides
// without a separate Boost.Thread build.
//
// The shared mutex gives a waiting writer no priority (glibc's rwlock prefers
// readers), so host threads calling without pause could keep ORV_Uninit out for
// ever. A turnstile in front fixes that: a writer holds it while it waits and
// works, so new readers queue behind it; readers only pass through it.
#pragma once

#include <shared_mutex>

#ifdef _WIN32
#include <mutex>
#else
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/lock_types.hpp>
#include <boost/thread/mutex.hpp>
#endif

namespace platform {

template <class Mutex, class SharedMutex>
class TurnstileSharedMutex {
public:
    void lock() {
        turnstile_.lock();
        shared_.lock();
    }
    void unlock() {
        shared_.unlock();
        turnstile_.unlock();
    }
    void lock_shared() {
        turnstile_.lock();
        shared_.lock_shared();
        turnstile_.unlock();
    }
    void unlock_shared() { shared_.unlock_shared(); }

private:
    Mutex turnstile_;
    SharedMutex shared_;
};

#ifdef _WIN32
using LibraryMutex = TurnstileSharedMutex<std::mutex, std::shared_mutex>;
using LibraryLockGuard = std::lock_guard<LibraryMutex>;
using LibrarySharedLockGuard = std::shared_lock<LibraryMutex>;
#else
using LibraryMutex = TurnstileSharedMutex<boost::mutex, std::shared_mutex>;
using LibraryLockGuard = boost::lock_guard<LibraryMutex>;
using LibrarySharedLockGuard = boost::shared_lock<LibraryMutex>;
#endif

}  // namespace platform
