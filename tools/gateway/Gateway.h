// The HTTP side of orv-gateway: the listener, one connection object per client, the
// routes of the JSON API and the picture and event streams. Nothing here waits on the
// library on an I/O thread: quick answers come from the directory, library calls run on a
// small pool of their own, live pictures come from the per-camera feeds, and a playback
// runs on a thread of its own.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/thread_pool.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Archive.h"
#include "Directory.h"
#include "Feeds.h"
#include "Plates.h"

namespace gateway {

struct GatewayOptions {
    std::string listenAddress = "127.0.0.1";
    uint16_t port = 8080;
    std::string token;  // empty: no token asked for
    bool verbose = false;
    int ioThreads = 2;
    int callThreads = 4;  // library calls made for single requests
    int maxPlaybacks = 4;
    std::chrono::milliseconds snapshotWait{3000};
    std::function<void(const std::string&)> log;  // request lines when verbose
};

struct Services {
    Directory& directory;
    FeedHub& feeds;
    PlateHub& plates;
    Archive& archive;
};

class Connection;
class Playback;

class Gateway {
  public:
    Gateway(GatewayOptions options, Services services);
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Binds and starts accepting; returns the bound port. Throws on failure.
    uint16_t Start();
    // Ends accepting, closes every client and joins every thread of the gateway.
    void Stop();
    boost::asio::io_context& Io() { return io_; }

    // Used by the connection objects.
    void Handle(const std::shared_ptr<Connection>& connection);
    void Log(const std::string& line);
    const GatewayOptions& Options() const { return options_; }
    Services& Svc() { return services_; }
    boost::asio::thread_pool& Calls() { return calls_; }

  private:
    void Accept();
    void StartPlayback(const std::shared_ptr<Connection>& connection, std::vector<int> cameras, double from,
                       double to, double speed);

    GatewayOptions options_;
    Services services_;
    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::thread_pool calls_;
    std::vector<std::thread> ioThreads_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Playback>> playbacks_;
    bool stopped_ = false;
};

}  // namespace gateway
