// The one library lock. boost::mutex where Boost.Thread is installed as a compiled
// library (Linux); on Windows the standard library's mutex, which MinGW's posix
// thread model provides without a separate Boost.Thread build.
#pragma once

#ifdef _WIN32
#include <mutex>
#else
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>
#endif

namespace platform {

#ifdef _WIN32
using LibraryMutex = std::mutex;
using LibraryLockGuard = std::lock_guard<std::mutex>;
#else
using LibraryMutex = boost::mutex;
using LibraryLockGuard = boost::lock_guard<boost::mutex>;
#endif

}  // namespace platform
