// Worker threads that run the decoding work of every sequence processor. Each
// processor serialises its own work on a strand of this pool's context, so
// different cameras decode in parallel while one camera's work stays in order.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/io_context_strand.hpp>
#include <boost/asio/post.hpp>

#include <cstddef>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace processing {

class DecodeThreadPool {
public:
    // The context's own strand type: destroying one touches nothing in the
    // context, so a processor released after the pool has gone (work that was
    // still queued at shutdown) cannot reach freed state. Two processors may
    // share a strand implementation and then merely take turns.
    using Strand = boost::asio::io_context::strand;

    // Starts `threads` workers (at least one).
    explicit DecodeThreadPool(size_t threads);
    // Stops, then closes the context; handlers that never ran are destroyed.
    ~DecodeThreadPool();
    DecodeThreadPool(const DecodeThreadPool&) = delete;
    DecodeThreadPool& operator=(const DecodeThreadPool&) = delete;

    // Hardware threads, or 1 when the system reports fewer than 2.
    static size_t DefaultThreadCount();

    Strand MakeStrand() { return Strand(context_); }

    template <typename Handler>
    void Post(Strand& strand, Handler&& handler) {
        boost::asio::post(strand, std::forward<Handler>(handler));
    }

    // Stops the context and joins every worker; only the first call does anything.
    // Must not be called from a worker thread.
    void Stop();
    bool Stopped() const;
    size_t ThreadCount() const { return workers_.size(); }

private:
    boost::asio::io_context context_;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> guard_;
    std::vector<std::thread> workers_;
    mutable std::mutex stopMutex_;
    bool stopped_ = false;
};

}  // namespace processing
