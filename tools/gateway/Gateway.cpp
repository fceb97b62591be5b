#include "Gateway.h"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <deque>
#include <optional>
#include <sstream>

#include "Http.h"
#include "OleTime.h"
#include "ResultCodes.h"
#include "TextEncoding.h"
#include "WebAssets.h"
#include "orv_sdk.h"

namespace gateway {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using Response = http::response<http::string_body>;

namespace {

std::string_view Sv(beast::string_view text) { return {text.data(), text.size()}; }

constexpr auto kReadTimeout = std::chrono::seconds(60);
constexpr auto kKeepAlivePeriod = std::chrono::seconds(15);
constexpr size_t kBodyLimit = 64 * 1024;
constexpr size_t kSseQueue = 256;
constexpr int kLiveSendBuffer = 128 * 1024;
constexpr char kBoundary[] = "orvframe";
constexpr double kHalfMsDays = 0.5 / 86'400'000.0;

std::string PlateTimeText(double localOle) {
    std::string text = orvctl::FormatOleNaive(localOle);
    text[10] = 'T';  // a local time without zone: read back as the gateway's local time
    return text;
}

json PlateJson(const PlateEvent& plate) {
    const std::string at = PlateTimeText(plate.localTime);
    return json{{"id", plate.id},
                {"plate", plate.number},
                {"camera", plate.camera},
                {"server", plate.server},
                {"time", at},
                {"archive", "/api/cameras/" + std::to_string(plate.camera) + "/archive.jpg?at=" + at}};
}

Response JsonReply(int status, const json& body) {
    Response res{static_cast<http::status>(status), 11};
    res.set(http::field::content_type, "application/json; charset=utf-8");
    res.set(http::field::cache_control, "no-store");
    res.body() = body.dump() + "\n";
    return res;
}

// A failure the library answered: the status it stands for, the code by name.
Response CodeError(int code, int status = 0, json extra = json::object()) {
    json body{{"error", orvctl::ResultName(code)}, {"code", code}, {"message", orvctl::ResultText(code)}};
    body.update(extra);
    return JsonReply(status ? status : StatusForCode(code), body);
}

// A failure of the request itself.
Response RequestError(int status, const std::string& error, const std::string& message) {
    return JsonReply(status, json{{"error", error}, {"message", message}});
}

Response PictureReply(const Frame& frame) {
    Response res{http::status::ok, 11};
    res.set(http::field::content_type, "image/jpeg");
    res.set(http::field::cache_control, "no-store");
    res.set("X-Camera", std::to_string(frame.camera));
    res.set("X-Frame-Time", orvctl::FormatOleUtc(frame.time));
    res.body().assign(frame.jpeg.begin(), frame.jpeg.end());
    return res;
}

std::string PartHeader(const Frame& frame) {
    return std::string("--") + kBoundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
           std::to_string(frame.jpeg.size()) + "\r\nX-Camera: " + std::to_string(frame.camera) +
           "\r\nX-Frame-Time: " + orvctl::FormatOleUtc(frame.time) + "\r\n\r\n";
}

std::string StreamHead(const std::string& contentType) {
    return "HTTP/1.1 200 OK\r\nContent-Type: " + contentType +
           "\r\nCache-Control: no-store\r\nConnection: close\r\nX-Accel-Buffering: no\r\n\r\n";
}

std::string MjpegType() { return std::string("multipart/x-mixed-replace; boundary=") + kBoundary; }

}  // namespace

// ---- Connection --------------------------------------------------------------------------

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(tcp::socket socket, Gateway& gateway) : stream_(std::move(socket)), gateway_(gateway) {}

    void Start() {
        net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->Read(); });
    }

    // Sends a reply; callable from any thread.
    void Reply(Response res) {
        net::post(stream_.get_executor(),
                  [self = shared_from_this(), res = std::move(res)]() mutable { self->Send(std::move(res)); });
    }

    // Hands the socket to a stream writer; the connection object is done with it.
    tcp::socket TakeSocket() {
        stream_.expires_never();
        return stream_.release_socket();
    }

    void Close() {
        net::post(stream_.get_executor(), [self = shared_from_this()] {
            beast::error_code ec;
            self->stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
            self->stream_.close();
        });
    }

    const http::request<http::string_body>& Request() const { return parser_->get(); }
    Target target;
    Clock::time_point started;
    std::string peer;

  private:
    void Read() {
        parser_.emplace();
        parser_->body_limit(kBodyLimit);
        stream_.expires_after(kReadTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
    }

    void OnRead(beast::error_code ec) {
        if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == net::error::operation_aborted) {
            Shutdown();
            return;
        }
        if (ec) {
            keepAlive_ = false;  // the stream is out of step: answer, then close
            Send(RequestError(ec == http::error::body_limit ? 413 : 400, "bad_request", ec.message()));
            return;
        }
        started = Clock::now();
        beast::error_code pe;
        peer = stream_.socket().remote_endpoint(pe).address().to_string();
        gateway_.Handle(shared_from_this());
    }

    void Send(Response res) {
        const auto& req = parser_->get();
        res.set(http::field::server, "orv-gateway");
        res.keep_alive(keepAlive_ && req.keep_alive());
        res.prepare_payload();
        if (gateway_.Options().verbose) {
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
            std::ostringstream line;
            line << peer << " " << req.method_string() << " " << LoggableTarget(Sv(req.target())) << " "
                 << res.result_int() << " " << res.body().size() << " bytes " << static_cast<int>(ms) << " ms";
            gateway_.Log(line.str());
        }
        auto held = std::make_shared<Response>(std::move(res));
        http::async_write(stream_, *held, [self = shared_from_this(), held](beast::error_code ec, size_t) {
            if (ec || !held->keep_alive()) {
                self->Shutdown();
                return;
            }
            self->Read();
        });
    }

    void Shutdown() {
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    Gateway& gateway_;
    bool keepAlive_ = true;
};

// ---- Stream writers ----------------------------------------------------------------------

namespace {

// Base of the long-lived replies: owns the socket, notices when the client goes away
// (a read that ends), and writes a line to the log when it ends.
class StreamWriter : public std::enable_shared_from_this<StreamWriter> {
  public:
    StreamWriter(tcp::socket socket, Gateway& gateway, std::string what, std::string peer)
        : socket_(std::move(socket)), gateway_(gateway), what_(std::move(what)), peer_(std::move(peer)),
          started_(Clock::now()) {}
    virtual ~StreamWriter() = default;

    void Begin(std::string head) {
        head_ = std::move(head);
        net::dispatch(socket_.get_executor(), [self = shared_from_this()] {
            self->WatchForClose();
            net::async_write(self->socket_, net::buffer(self->head_),
                             [self](beast::error_code ec, size_t) {
                                 if (ec) {
                                     self->End();
                                     return;
                                 }
                                 self->OnHeadSent();
                             });
        });
    }

    // Ends the stream from any thread.
    void Abort() {
        net::post(socket_.get_executor(), [self = shared_from_this()] { self->End(); });
    }

  protected:
    virtual void OnHeadSent() = 0;
    virtual void OnEnd() = 0;
    virtual std::string Summary() const = 0;

    void End() {
        if (ended_) {
            return;
        }
        ended_ = true;
        beast::error_code ec;
        socket_.shutdown(tcp::socket::shutdown_both, ec);
        socket_.close(ec);
        OnEnd();
        if (gateway_.Options().verbose) {
            const double s = std::chrono::duration<double>(Clock::now() - started_).count();
            std::ostringstream line;
            line.precision(1);
            line << std::fixed << peer_ << " GET " << what_ << " 200 stream " << s << " s " << Summary();
            gateway_.Log(line.str());
        }
    }

    tcp::socket socket_;
    Gateway& gateway_;
    bool ended_ = false;

  private:
    void WatchForClose() {
        socket_.async_read_some(net::buffer(sink_), [self = shared_from_this()](beast::error_code ec, size_t) {
            if (ec) {
                self->End();
                return;
            }
            self->WatchForClose();
        });
    }

    std::string what_;
    std::string peer_;
    Clock::time_point started_;
    std::string head_;
    std::array<char, 512> sink_{};
};

// Live pictures of one or more cameras as multipart/x-mixed-replace. One newest-frame-wins
// slot per camera: the feed thread only replaces the slot's picture and, if the writer is
// idle, posts a wake-up; pictures that arrive while a write is under way replace each
// other, so a slow client skips pictures and nobody waits for it.
class MjpegWriter : public StreamWriter, public FrameSink {
  public:
    MjpegWriter(tcp::socket socket, Gateway& gateway, std::string what, std::string peer, std::vector<int> cameras,
                double fps)
        : StreamWriter(std::move(socket), gateway, std::move(what), std::move(peer)),
          timer_(socket_.get_executor()),
          period_(fps > 0 ? std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / fps))
                          : Clock::duration::zero()) {
        for (int camera : cameras) {
            slots_.push_back(Slot{camera, nullptr, Clock::time_point{}});
        }
    }

    void Subscribe() {
        // A live viewer wants the newest picture, not a queue of old ones: keep the
        // kernel's backlog for this client to a fraction of a second of pictures, so that
        // a slow client starts skipping in the slot here instead of falling behind there.
        beast::error_code ec;
        socket_.set_option(net::socket_base::send_buffer_size(kLiveSendBuffer), ec);
        auto self = std::static_pointer_cast<MjpegWriter>(shared_from_this());
        for (const auto& slot : slots_) {
            gateway_.Svc().feeds.Subscribe(slot.camera, std::shared_ptr<FrameSink>(self, static_cast<FrameSink*>(this)));
        }
    }

    void OnFrame(const FramePtr& frame) override {
        std::lock_guard lock(mutex_);
        for (auto& slot : slots_) {
            if (slot.camera == frame->camera) {
                slot.pending = frame;
            }
        }
        if (!armed_ && headSent_) {
            armed_ = true;
            net::post(socket_.get_executor(), [self = shared_from_this(), this] { WriteNext(); });
        }
    }

  private:
    struct Slot {
        int camera;
        FramePtr pending;
        Clock::time_point due;
    };

    void OnHeadSent() override {
        {
            std::lock_guard lock(mutex_);
            headSent_ = true;
            armed_ = true;
        }
        WriteNext();
    }

    void WriteNext() {
        if (ended_) {
            return;
        }
        FramePtr frame;
        std::optional<Clock::time_point> wakeAt;
        {
            std::lock_guard lock(mutex_);
            const auto now = Clock::now();
            for (size_t n = 0; n < slots_.size() && !frame; ++n) {
                Slot& slot = slots_[(next_ + n) % slots_.size()];
                if (!slot.pending) {
                    continue;
                }
                if (slot.due > now) {
                    wakeAt = wakeAt ? std::min(*wakeAt, slot.due) : slot.due;
                    continue;
                }
                frame = std::move(slot.pending);
                // Keep the average rate: the next due time follows the last one unless
                // the stream fell behind by more than a period.
                slot.due = slot.due + period_ < now - period_ ? now + period_ : slot.due + period_;
                next_ = (next_ + n + 1) % slots_.size();
            }
            if (!frame && !wakeAt) {
                armed_ = false;
                return;
            }
        }
        if (!frame) {
            timer_.expires_at(*wakeAt);
            timer_.async_wait([self = shared_from_this(), this](beast::error_code ec) {
                if (!ec) {
                    WriteNext();
                }
            });
            return;
        }
        auto header = std::make_shared<std::string>(PartHeader(*frame));
        std::array<net::const_buffer, 3> buffers{net::buffer(*header), net::buffer(frame->jpeg),
                                                 net::buffer("\r\n", 2)};
        net::async_write(socket_, buffers,
                         [self = shared_from_this(), this, header, frame](beast::error_code ec, size_t) {
                             if (ec) {
                                 End();
                                 return;
                             }
                             ++sent_;
                             WriteNext();
                         });
    }

    void OnEnd() override {
        timer_.cancel();
        for (const auto& slot : slots_) {
            gateway_.Svc().feeds.Unsubscribe(slot.camera, this);
        }
    }

    std::string Summary() const override { return std::to_string(sent_) + " frames"; }

    net::steady_timer timer_;
    const Clock::duration period_;
    std::mutex mutex_;
    std::vector<Slot> slots_;  // the set is fixed; pending and due change under mutex_
    size_t next_ = 0;
    bool armed_ = false;  // a write, a timer or a wake-up is under way
    bool headSent_ = false;
    uint64_t sent_ = 0;
};

// Server-sent events of recognised plates. Events queue up to a bound; a client that
// falls further behind loses the oldest ones. A comment line every 15 s keeps proxies
// from closing an idle stream.
class PlateEventWriter : public StreamWriter, public PlateSink {
  public:
    PlateEventWriter(tcp::socket socket, Gateway& gateway, std::string what, std::string peer)
        : StreamWriter(std::move(socket), gateway, std::move(what), std::move(peer)), timer_(socket_.get_executor()) {}

    void Subscribe() {
        auto self = std::static_pointer_cast<PlateEventWriter>(shared_from_this());
        gateway_.Svc().plates.Subscribe(std::shared_ptr<PlateSink>(self, static_cast<PlateSink*>(this)));
    }

    void OnPlate(const PlateEvent& plate) override {
        Queue("id: " + std::to_string(plate.id) + "\nevent: plate\ndata: " + PlateJson(plate).dump() + "\n\n");
    }

  private:
    void Queue(std::string text) {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(text));
        while (queue_.size() > kSseQueue) {
            queue_.pop_front();
        }
        if (!writing_ && headSent_) {
            writing_ = true;
            net::post(socket_.get_executor(), [self = shared_from_this(), this] { WriteNext(); });
        }
    }

    void OnHeadSent() override {
        {
            std::lock_guard lock(mutex_);
            headSent_ = true;
            queue_.push_front("retry: 2000\n: plates\n\n");
            writing_ = true;
        }
        KeepAlive();
        WriteNext();
    }

    void KeepAlive() {
        timer_.expires_after(kKeepAlivePeriod);
        timer_.async_wait([self = shared_from_this(), this](beast::error_code ec) {
            if (!ec && !ended_) {
                Queue(": keep-alive\n\n");
                KeepAlive();
            }
        });
    }

    void WriteNext() {
        if (ended_) {
            return;
        }
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) {
                writing_ = false;
                return;
            }
            current_ = std::move(queue_.front());
            queue_.pop_front();
        }
        net::async_write(socket_, net::buffer(current_), [self = shared_from_this(), this](beast::error_code ec, size_t) {
            if (ec) {
                End();
                return;
            }
            ++sent_;
            WriteNext();
        });
    }

    void OnEnd() override {
        timer_.cancel();
        gateway_.Svc().plates.Unsubscribe(this);
    }

    std::string Summary() const override { return std::to_string(sent_) + " events"; }

    net::steady_timer timer_;
    std::mutex mutex_;
    std::deque<std::string> queue_;
    std::string current_;
    bool writing_ = false;
    bool headSent_ = false;
    uint64_t sent_ = 0;
};

// Waits for the first live picture of a camera for a snapshot.
class SnapshotWaiter : public FrameSink, public std::enable_shared_from_this<SnapshotWaiter> {
  public:
    SnapshotWaiter(std::shared_ptr<Connection> connection, Gateway& gateway, int camera, uint64_t staleSequence)
        : connection_(std::move(connection)), gateway_(gateway), camera_(camera), stale_(staleSequence),
          strand_(net::make_strand(gateway.Io())), timer_(strand_) {}

    void Start() {
        gateway_.Svc().feeds.Subscribe(camera_, std::shared_ptr<FrameSink>(shared_from_this(), this));
        timer_.expires_after(gateway_.Options().snapshotWait);
        timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec) {
                self->Finish(nullptr);
            }
        });
    }

    void OnFrame(const FramePtr& frame) override {
        if (frame->sequence != stale_) {
            Finish(frame);
        }
    }

  private:
    void Finish(const FramePtr& frame) {
        if (done_.exchange(true)) {
            return;
        }
        // Not from inside the feed's delivery: leave on the strand the timer lives on.
        net::post(strand_, [self = shared_from_this(), frame] {
            self->timer_.cancel();
            self->gateway_.Svc().feeds.Unsubscribe(self->camera_, self.get());
            if (frame) {
                self->connection_->Reply(PictureReply(*frame));
                return;
            }
            const FeedStatus status = self->gateway_.Svc().feeds.Status(self->camera_);
            const auto server = self->gateway_.Svc().directory.ServerOf(self->camera_);
            json extra = json::object();
            if (server && server->stateResult == ORV_OK) {
                extra["state"] = orvctl::StateName(server->state);
            }
            const int code = status.lastCode != ORV_OK ? status.lastCode : ORV_E_NO_FRAME;
            // No picture in time is a gateway-side time-out unless the camera is known inactive.
            self->connection_->Reply(CodeError(code, code == ORV_E_CAMERA_INACTIVE ? 409 : 504, extra));
        });
    }

    std::shared_ptr<Connection> connection_;
    Gateway& gateway_;
    const int camera_;
    const uint64_t stale_;
    net::strand<net::io_context::executor_type> strand_;
    net::steady_timer timer_;
    std::atomic<bool> done_{false};
};

}  // namespace

// ---- Archive playback ----------------------------------------------------------------------

// Plays archive pictures back on a thread of its own, paced by their times and the speed.
// Each step holds the archive only while it reads a few pictures; the writes, which go as
// fast as this client reads, happen outside it.
class Playback {
  public:
    Playback(tcp::socket socket, std::vector<int> cameras, double from, double to, double speed, Archive& archive)
        : socket_(std::move(socket)), cameras_(std::move(cameras)), from_(from), to_(to), speed_(speed),
          archive_(archive) {
        thread_ = std::thread([this] { Run(); });
    }
    ~Playback() {
        Stop();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    void Stop() {
        stop_ = true;
        // Wakes a write under way; the socket is closed only by the playback's own thread.
        std::lock_guard lock(socketMutex_);
        if (!closed_) {
            beast::error_code ec;
            socket_.shutdown(tcp::socket::shutdown_both, ec);
        }
    }
    bool Done() const { return done_; }
    uint64_t Sent() const { return sent_; }

  private:
    bool Write(const std::vector<net::const_buffer>& buffers) {
        beast::error_code ec;
        net::write(socket_, buffers, ec);
        return !ec && !stop_;
    }

    void Run() {
        constexpr int kStepFrames = 25;
        const std::string head = StreamHead(MjpegType());
        if (Write({net::buffer(head)})) {
            const auto wallStart = Clock::now();
            double firstTime = -1;
            double cursor = from_;
            double after = 0;
            bool ended = false;
            while (!ended && !stop_) {
                std::vector<FramePtr> frames;
                const int code = archive_.ReadStep(this, cameras_, cursor, after, to_, kStepFrames, frames, ended);
                if (code != ORV_OK || frames.empty()) {
                    break;
                }
                for (const auto& frame : frames) {
                    // Right after a seek a server may hand out a picture older than one
                    // already sent; the merged stream stays in time order without it.
                    if (frame->time < after - kHalfMsDays) {
                        continue;
                    }
                    if (firstTime < 0) {
                        firstTime = frame->time;
                    }
                    if (speed_ > 0) {
                        const double seconds = (frame->time - firstTime) * 86'400.0 / speed_;
                        const auto due = wallStart + std::chrono::duration_cast<Clock::duration>(
                                                         std::chrono::duration<double>(seconds));
                        while (!stop_ && Clock::now() < due) {
                            std::this_thread::sleep_for(std::min<Clock::duration>(due - Clock::now(),
                                                                                  std::chrono::milliseconds(100)));
                        }
                    }
                    const std::string header = PartHeader(*frame);
                    if (!Write({net::buffer(header), net::buffer(frame->jpeg), net::buffer("\r\n", 2)})) {
                        stop_ = true;
                        break;
                    }
                    ++sent_;
                    after = frame->time;
                    cursor = frame->time;
                }
            }
            if (!stop_) {
                const std::string close = std::string("--") + kBoundary + "--\r\n";
                Write({net::buffer(close)});
            }
        }
        {
            std::lock_guard lock(socketMutex_);
            beast::error_code ec;
            socket_.shutdown(tcp::socket::shutdown_both, ec);
            socket_.close(ec);
            closed_ = true;
        }
        done_ = true;
    }

    tcp::socket socket_;
    const std::vector<int> cameras_;
    const double from_, to_, speed_;
    Archive& archive_;
    std::mutex socketMutex_;
    bool closed_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::atomic<uint64_t> sent_{0};
    std::thread thread_;
};

// ---- Gateway -------------------------------------------------------------------------------

Gateway::Gateway(GatewayOptions options, Services services)
    : options_(std::move(options)), services_(services), acceptor_(io_),
      calls_(static_cast<size_t>(std::max(1, options_.callThreads))) {}

Gateway::~Gateway() { Stop(); }

uint16_t Gateway::Start() {
    const tcp::endpoint endpoint(net::ip::make_address(options_.listenAddress), options_.port);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(net::socket_base::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(net::socket_base::max_listen_connections);
    Accept();
    for (int i = 0; i < std::max(1, options_.ioThreads); ++i) {
        ioThreads_.emplace_back([this] { io_.run(); });
    }
    return acceptor_.local_endpoint().port();
}

void Gateway::Stop() {
    std::vector<std::shared_ptr<Playback>> playbacks;
    {
        std::lock_guard lock(mutex_);
        if (stopped_) {
            return;
        }
        stopped_ = true;
        playbacks.swap(playbacks_);
    }
    net::post(io_, [this] {
        beast::error_code ec;
        acceptor_.close(ec);
    });
    for (auto& playback : playbacks) {
        playback->Stop();
    }
    playbacks.clear();  // joins their threads
    calls_.join();
    io_.stop();
    for (auto& thread : ioThreads_) {
        thread.join();
    }
    ioThreads_.clear();
}

void Gateway::Log(const std::string& line) {
    if (options_.log) {
        options_.log(line);
    }
}

void Gateway::Accept() {
    acceptor_.async_accept(net::make_strand(io_), [this](beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || !acceptor_.is_open()) {
            return;
        }
        if (!ec) {
            std::make_shared<Connection>(std::move(socket), *this)->Start();
        }
        Accept();
    });
}

void Gateway::StartPlayback(const std::shared_ptr<Connection>& connection, std::vector<int> cameras, double from,
                            double to, double speed) {
    std::lock_guard lock(mutex_);
    std::erase_if(playbacks_, [](const auto& p) { return p->Done(); });
    if (static_cast<int>(playbacks_.size()) >= options_.maxPlaybacks) {
        connection->Reply(RequestError(503, "busy", "too many archive playbacks at once"));
        return;
    }
    Log(connection->peer + " GET " + LoggableTarget(Sv(connection->Request().target())) + " 200 playback");
    playbacks_.push_back(std::make_shared<Playback>(connection->TakeSocket(), std::move(cameras), from, to, speed,
                                                    services_.archive));
}

namespace {

json ServerJson(const orvctl::ServerRow& row) {
    json out{{"handle", row.handle}, {"address", row.address}};
    if (row.stateResult == ORV_OK) {
        out["state"] = orvctl::StateName(row.state);
        out["stateCode"] = row.state;
    } else {
        out["state"] = orvctl::ResultName(row.stateResult);
    }
    if (row.rangeResult == ORV_OK && row.cameraCount > 0) {
        out["cameras"] = json{{"first", row.firstCamera}, {"last", row.lastCamera}, {"count", row.cameraCount}};
    } else {
        out["cameras"] = nullptr;
    }
    return out;
}

// One word for the page: "live", "inactive", "down" (its server is not connected),
// "waiting" (connected, no picture yet or lately).
std::string CameraStatus(const orvctl::CameraRow& camera, const std::optional<orvctl::ServerRow>& server,
                         const FeedStatus& feed) {
    if (!server || server->stateResult != ORV_OK || server->state != ORV_STATE_CONNECTED) {
        return "down";
    }
    if (!camera.active || feed.lastCode == ORV_E_CAMERA_INACTIVE) {
        return "inactive";
    }
    if (feed.running && feed.latest && feed.secondsSinceFrame >= 0 && feed.secondsSinceFrame < 3) {
        return "live";
    }
    return feed.running ? "waiting" : "idle";
}

std::optional<double> TimeParam(const Target& target, const std::string& key) {
    const auto it = target.query.find(key);
    if (it == target.query.end()) {
        return std::nullopt;
    }
    return orvctl::ParseTimeArg(it->second, orvctl::NowOle());  // throws std::invalid_argument
}

std::optional<int> IntField(const json& body, const char* key, int low, int high) {
    if (!body.contains(key) || !body[key].is_number_integer()) {
        return std::nullopt;
    }
    const auto value = body[key].get<long long>();
    if (value < low || value > high) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

}  // namespace

void Gateway::Handle(const std::shared_ptr<Connection>& connection) {
    const auto& req = connection->Request();
    auto parsed = ParseTarget(std::string_view(req.target().data(), req.target().size()));
    if (!parsed) {
        connection->Reply(RequestError(400, "bad_request", "malformed request target"));
        return;
    }
    connection->target = std::move(*parsed);
    const Target& target = connection->target;

    if (!options_.token.empty()) {
        std::string presented;
        const auto auth = req[http::field::authorization];
        if (auth.starts_with("Bearer ")) {
            presented = std::string(auth.substr(7));
        } else if (auto it = target.query.find("token"); it != target.query.end()) {
            presented = it->second;
        }
        if (!TokenMatches(presented, options_.token)) {
            Response res = RequestError(401, "unauthorized", "a valid token is needed (Authorization: Bearer or ?token=)");
            res.set(http::field::www_authenticate, "Bearer");
            connection->Reply(std::move(res));
            return;
        }
    }

    const auto segments = Segments(target.path);
    const bool isGet = req.method() == http::verb::get || req.method() == http::verb::head;
    const bool isPost = req.method() == http::verb::post;
    auto methodNotAllowed = [&](const char* allowed) {
        Response res = RequestError(405, "method_not_allowed", std::string("use ") + allowed);
        res.set(http::field::allow, allowed);
        connection->Reply(std::move(res));
    };
    auto onPool = [this, connection](std::function<Response()> work) {
        net::post(calls_, [connection, work = std::move(work)] {
            Response res;
            try {
                res = work();
            } catch (const std::exception& e) {
                res = RequestError(500, "internal", e.what());
            }
            connection->Reply(std::move(res));
        });
    };
    auto badRequest = [&](const std::string& message) { connection->Reply(RequestError(400, "bad_request", message)); };

    try {
        // ---- the page
        if (segments.empty() || (segments.size() == 1 && segments[0] == "index.html")) {
            if (!isGet) {
                return methodNotAllowed("GET");
            }
            Response res{http::status::ok, 11};
            res.set(http::field::content_type, "text/html; charset=utf-8");
            res.set(http::field::cache_control, "no-store");
            res.body() = std::string(IndexHtml());
            connection->Reply(std::move(res));
            return;
        }
        if (segments[0] != "api") {
            connection->Reply(RequestError(404, "not_found", "no such page"));
            return;
        }
        const size_t n = segments.size();
        const std::string a = n > 1 ? segments[1] : "";

        // ---- servers and cameras, from the directory
        if (n == 2 && a == "servers") {
            if (!isGet) {
                return methodNotAllowed("GET");
            }
            json list = json::array();
            for (const auto& row : services_.directory.Snapshot().servers) {
                list.push_back(ServerJson(row));
            }
            connection->Reply(JsonReply(200, json{{"servers", list}}));
            return;
        }
        if (n == 2 && a == "cameras") {
            if (!isGet) {
                return methodNotAllowed("GET");
            }
            const auto snapshot = services_.directory.Snapshot();
            json list = json::array();
            for (const auto& camera : snapshot.cameras) {
                std::optional<orvctl::ServerRow> server;
                for (const auto& row : snapshot.servers) {
                    if (row.handle == camera.serverHandle) {
                        server = row;
                    }
                }
                const FeedStatus feed = services_.feeds.Status(camera.camera);
                json item{{"camera", camera.camera},
                          {"name", camera.nameResult == ORV_OK ? json(camera.name) : json(nullptr)},
                          {"server", camera.serverHandle},
                          {"active", camera.active},
                          {"serverState", server && server->stateResult == ORV_OK ? orvctl::StateName(server->state)
                                                                                   : std::string("unknown")},
                          {"status", CameraStatus(camera, server, feed)},
                          {"viewers", feed.viewers},
                          {"fetching", feed.running},
                          {"lastResult", orvctl::ResultName(feed.lastCode)}};
                if (feed.latest) {
                    item["width"] = feed.latest->width;
                    item["height"] = feed.latest->height;
                    item["lastFrameTime"] = orvctl::FormatOleUtc(feed.latest->time);
                }
                list.push_back(item);
            }
            connection->Reply(JsonReply(200, json{{"cameras", list}}));
            return;
        }

        // ---- archive
        if (n == 3 && a == "archive" && segments[2] == "range") {
            if (!isGet) {
                return methodNotAllowed("GET");
            }
            onPool([this] {
                double begin = 0, end = 0;
                const int code = services_.archive.Range(begin, end);
                if (code != ORV_OK) {
                    return CodeError(code);
                }
                return JsonReply(200, json{{"begin", orvctl::FormatOleUtc(begin)}, {"end", orvctl::FormatOleUtc(end)}});
            });
            return;
        }
        if (n == 2 && a == "archive.mjpeg") {
            if (!isGet) {
                return methodNotAllowed("GET");
            }
            const auto camerasIt = target.query.find("cameras");
            const auto cameras = camerasIt == target.query.end() ? std::nullopt : ParseCameraList(camerasIt->second);
            if (!cameras) {
                return badRequest("cameras=N[,M...] is required (camera numbers 1..2048)");
            }
            const auto from = TimeParam(target, "from");
            if (!from) {
                return badRequest("from=TIME is required");
            }
            const double to = TimeParam(target, "to").value_or(*from + 60.0 / 86'400.0);
            if (to <= *from) {
                return badRequest("to must be later than from");
            }
            double speed = 1.0;
            if (auto it = target.query.find("speed"); it != target.query.end()) {
                const auto value = ParseNumber(it->second);
                if (!value || *value < 0 || *value > 100) {
                    return badRequest("speed must be a number from 0 (as fast as possible) to 100");
                }
                speed = *value;
            }
            StartPlayback(connection, *cameras, *from, to, speed);
            return;
        }

        // ---- plates
        if (n == 2 && a == "plates") {
            if (!isGet) {
                return methodNotAllowed("GET");
            }
            json list = json::array();
            for (const auto& plate : services_.plates.Drain()) {
                list.push_back(PlateJson(plate));
            }
            connection->Reply(JsonReply(200, json{{"plates", list}}));
            return;
        }
        if (n == 3 && a == "plates" && segments[2] == "events") {
            if (!isGet) {
                return methodNotAllowed("GET");
            }
            auto writer = std::make_shared<PlateEventWriter>(connection->TakeSocket(), *this,
                                                             LoggableTarget(Sv(req.target())), connection->peer);
            writer->Subscribe();
            writer->Begin(StreamHead("text/event-stream"));
            return;
        }

        // ---- live pictures of several cameras in one stream (the page's grid)
        if (n == 2 && a == "stream.mjpeg") {
            if (!isGet) {
                return methodNotAllowed("GET");
            }
            const auto camerasIt = target.query.find("cameras");
            const auto cameras = camerasIt == target.query.end() ? std::nullopt : ParseCameraList(camerasIt->second);
            if (!cameras || cameras->size() > 64) {
                return badRequest("cameras=N[,M...] is required (at most 64 camera numbers 1..2048)");
            }
            double fps = 0;
            if (auto it = target.query.find("fps"); it != target.query.end()) {
                const auto value = ParseNumber(it->second);
                if (!value || *value < 0 || *value > 100) {
                    return badRequest("fps must be a number from 0 (every picture) to 100");
                }
                fps = *value;
            }
            auto writer = std::make_shared<MjpegWriter>(connection->TakeSocket(), *this, LoggableTarget(Sv(req.target())),
                                                        connection->peer, *cameras, fps);
            writer->Begin(StreamHead(MjpegType()));
            writer->Subscribe();
            return;
        }

        // ---- one camera
        if (n >= 4 && a == "cameras") {
            const auto camera = ParseInt(segments[2], 1, 2048);
            if (!camera) {
                return badRequest("camera numbers are 1..2048");
            }
            if (!services_.directory.Camera(*camera)) {
                connection->Reply(CodeError(ORV_E_UNKNOWN_CAMERA));
                return;
            }
            const std::string& what = segments[3];
            if (n != 4) {
                connection->Reply(RequestError(404, "not_found", "no such resource"));
                return;
            }
            if (what == "snapshot.jpg") {
                if (!isGet) {
                    return methodNotAllowed("GET");
                }
                // Known answers come at once; only a camera that should deliver is waited for.
                const auto row = services_.directory.Camera(*camera);
                const auto server = services_.directory.ServerOf(*camera);
                if (!server || server->stateResult != ORV_OK || server->state != ORV_STATE_CONNECTED) {
                    connection->Reply(JsonReply(
                        503, json{{"error", "server_down"},
                                  {"message", "the camera's server is not connected"},
                                  {"server", row->serverHandle},
                                  {"state", server && server->stateResult == ORV_OK ? orvctl::StateName(server->state)
                                                                                   : std::string("unknown")}}));
                    return;
                }
                if (!row->active) {
                    connection->Reply(CodeError(ORV_E_CAMERA_INACTIVE, 409));
                    return;
                }
                const FeedStatus status = services_.feeds.Status(*camera);
                const uint64_t stale =
                    status.latest && (!status.running || status.secondsSinceFrame > 2) ? status.latest->sequence : 0;
                std::make_shared<SnapshotWaiter>(connection, *this, *camera, stale)->Start();
                return;
            }
            if (what == "stream.mjpeg") {
                if (!isGet) {
                    return methodNotAllowed("GET");
                }
                double fps = 0;
                if (auto it = target.query.find("fps"); it != target.query.end()) {
                    const auto value = ParseNumber(it->second);
                    if (!value || *value < 0 || *value > 100) {
                        return badRequest("fps must be a number from 0 (every picture) to 100");
                    }
                    fps = *value;
                }
                auto writer = std::make_shared<MjpegWriter>(connection->TakeSocket(), *this,
                                                            LoggableTarget(Sv(req.target())), connection->peer,
                                                            std::vector<int>{*camera}, fps);
                writer->Begin(StreamHead(MjpegType()));
                writer->Subscribe();
                return;
            }
            if (what == "archive.jpg") {
                if (!isGet) {
                    return methodNotAllowed("GET");
                }
                const auto at = TimeParam(target, "at");
                if (!at) {
                    return badRequest("at=TIME is required");
                }
                onPool([this, camera = *camera, at = *at] {
                    Frame frame;
                    const int code = services_.archive.PictureAt(camera, at, frame);
                    return code == ORV_OK ? PictureReply(frame) : CodeError(code);
                });
                return;
            }
            if (what == "plate") {
                if (!isGet) {
                    return methodNotAllowed("GET");
                }
                onPool([camera = *camera] {
                    std::array<char, 32> number{};
                    int server = 0, width = 0, height = 0, size = 0;
                    double time = 0;
                    const int code = ORV_KeloGetLatestPlateNumber(camera, number.data(), &server, &time, 0, 0, nullptr,
                                                                  0, &width, &height, &size, 0);
                    if (code != ORV_OK) {
                        return CodeError(code);
                    }
                    number.back() = '\0';
                    PlateEvent plate;
                    plate.number = orvctl::Cp1251ToUtf8(number.data());
                    plate.camera = camera;
                    plate.server = server;
                    plate.localTime = time;
                    json body = PlateJson(plate);
                    body.erase("id");
                    return JsonReply(200, body);
                });
                return;
            }
            if (what == "ptz" || what == "event") {
                if (!isPost) {
                    return methodNotAllowed("POST");
                }
                const json body = json::parse(req.body(), nullptr, false);
                if (body.is_discarded() || !body.is_object()) {
                    return badRequest("the body must be a JSON object");
                }
                if (what == "ptz") {
                    const auto command = IntField(body, "command", INT32_MIN, INT32_MAX);
                    if (!command) {
                        return badRequest("\"command\" (integer) is required; \"speed1\", \"speed2\", \"value\" are optional integers");
                    }
                    const int speed1 = IntField(body, "speed1", INT32_MIN, INT32_MAX).value_or(20);
                    const int speed2 = IntField(body, "speed2", INT32_MIN, INT32_MAX).value_or(20);
                    const int value = IntField(body, "value", INT32_MIN, INT32_MAX).value_or(0);
                    onPool([camera = *camera, command = *command, speed1, speed2, value] {
                        const int code = ORV_CamTele(camera, command, speed1, speed2, value);
                        return code == ORV_OK ? JsonReply(200, json{{"result", "ORV_OK"}}) : CodeError(code);
                    });
                    return;
                }
                std::array<int, 4> values{};
                if (!body.contains("values") || !body["values"].is_array() || body["values"].size() != 4) {
                    return badRequest("\"values\": [A, B, C, D] (four integers) is required");
                }
                for (size_t i = 0; i < 4; ++i) {
                    if (!body["values"][i].is_number_integer()) {
                        return badRequest("\"values\" must hold four integers");
                    }
                    values[i] = body["values"][i].get<int>();
                }
                onPool([camera = *camera, values] {
                    const int code = ORV_SetExternalEvent(camera, values[0], values[1], values[2], values[3]);
                    return code == ORV_OK ? JsonReply(200, json{{"result", "ORV_OK"}}) : CodeError(code);
                });
                return;
            }
            connection->Reply(RequestError(404, "not_found", "no such resource"));
            return;
        }

        // ---- one server
        if (n == 4 && a == "servers") {
            const auto handle = ParseInt(segments[2], 1, 63);
            if (!handle) {
                return badRequest("server handles are small positive integers");
            }
            const auto servers = services_.directory.Snapshot().servers;
            if (std::none_of(servers.begin(), servers.end(), [&](const auto& s) { return s.handle == *handle; })) {
                connection->Reply(RequestError(404, "not_found", "no server with handle " + segments[2]));
                return;
            }
            const std::string& what = segments[3];
            if (what != "event" && what != "console") {
                connection->Reply(RequestError(404, "not_found", "no such resource"));
                return;
            }
            if (!isPost) {
                return methodNotAllowed("POST");
            }
            const json body = json::parse(req.body(), nullptr, false);
            if (body.is_discarded() || !body.is_object()) {
                return badRequest("the body must be a JSON object");
            }
            if (what == "event") {
                const auto value = IntField(body, "value", INT32_MIN, INT32_MAX);
                if (!value) {
                    return badRequest("\"value\" (integer) is required");
                }
                onPool([handle = *handle, value = *value] {
                    const int code = ORV_SetExternalEvent_X(handle, value);
                    return code == ORV_OK ? JsonReply(200, json{{"result", "ORV_OK"}}) : CodeError(code);
                });
                return;
            }
            const auto camera = IntField(body, "camera", 1, 2048);
            if (!camera) {
                return badRequest("\"camera\" (1..2048) is required");
            }
            onPool([handle = *handle, camera = *camera] {
                const int code = ORV_ExtPultSwitchCam(handle, camera);
                return code == ORV_OK ? JsonReply(200, json{{"result", "ORV_OK"}}) : CodeError(code);
            });
            return;
        }
        connection->Reply(RequestError(404, "not_found", "no such resource"));
    } catch (const std::invalid_argument& e) {
        badRequest(e.what());
    }
}

}  // namespace gateway
