// Decoded pictures per second of the decode pool for several live 720p H.264
// cameras: blocks encoded once with libavcodec are pushed through the frame
// storage (PushLiveBlock) and taken back as BGR (TakeLiveFrame), with the pool
// on one worker and on two. The storage's clocks are virtual and advance one
// frame interval only when every camera has taken the picture of the current
// tick (or when a decoded picture is held back as early), so pacing never drops
// a picture and the rate is bound by decoding.
//
// Usage: bench_decode_pool [cameras=8] [seconds-per-run=6] [gop=25] [rounds=3]
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/DynamicLibrary.h"
#include "video/FrameStorage.h"

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr double kDay = 86'400.0;
constexpr double kFrameDays = 0.040 / kDay;  // 25 pictures per second
constexpr double kT0 = 46300.5;

struct Gop {
    std::vector<uint8_t> payload;  // the pictures back to back
    std::vector<size_t> sizes;     // each picture's share of the payload
    int pictures = 0;
};

// A moving diagonal pattern so every picture carries real residual to decode.
void Paint(AVFrame* frame, int index) {
    for (int y = 0; y < kHeight; ++y) {
        uint8_t* row = frame->data[0] + y * frame->linesize[0];
        for (int x = 0; x < kWidth; ++x) row[x] = static_cast<uint8_t>((x + 2 * y + 6 * index) ^ (y >> 3));
    }
    for (int y = 0; y < kHeight / 2; ++y) {
        for (int x = 0; x < kWidth / 2; ++x) {
            frame->data[1][y * frame->linesize[1] + x] = static_cast<uint8_t>(128 + ((x + index) & 31));
            frame->data[2][y * frame->linesize[2] + x] = static_cast<uint8_t>(128 - ((y + index) & 31));
        }
    }
}

Gop EncodeGop(int count) {
    Gop out;
    av_log_set_level(AV_LOG_ERROR);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) return out;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->width = kWidth;
    ctx->height = kHeight;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = AVRational{1, 25};
    ctx->framerate = AVRational{25, 1};
    ctx->gop_size = count;
    ctx->max_b_frames = 0;
    ctx->bit_rate = 2'000'000;
    av_opt_set(ctx->priv_data, "preset", "veryfast", 0);
    av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    const bool opened = avcodec_open2(ctx, codec, nullptr) >= 0;
    frame->format = ctx->pix_fmt;
    frame->width = kWidth;
    frame->height = kHeight;
    if (opened && av_frame_get_buffer(frame, 0) >= 0) {
        auto drain = [&] {
            while (avcodec_receive_packet(ctx, packet) >= 0) {
                out.payload.insert(out.payload.end(), packet->data, packet->data + packet->size);
                out.sizes.push_back(static_cast<size_t>(packet->size));
                ++out.pictures;
                av_packet_unref(packet);
            }
        };
        for (int i = 0; i < count; ++i) {
            if (av_frame_make_writable(frame) < 0) break;
            Paint(frame, i);
            frame->pts = i;
            if (avcodec_send_frame(ctx, frame) < 0) break;
            drain();
        }
        avcodec_send_frame(ctx, nullptr);
        drain();
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return out;
}

void PutU32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A block with a time table: 28-byte header, one double per picture, payload.
std::vector<uint8_t> TableBlock(double first, const Gop& gop) {
    std::vector<uint8_t> b(28 + 8 * static_cast<size_t>(gop.pictures) + gop.payload.size(), 0);
    PutU32(b, 0, processing::kTableBlockMagic);
    PutU32(b, 8, static_cast<uint32_t>(gop.payload.size()));
    PutU32(b, 20, static_cast<uint32_t>(gop.pictures));
    for (int i = 0; i < gop.pictures; ++i) {
        uint64_t bits = 0;
        const double t = first + i * kFrameDays;
        std::memcpy(&bits, &t, sizeof bits);
        PutU32(b, 28 + 8 * static_cast<size_t>(i), static_cast<uint32_t>(bits));
        PutU32(b, 32 + 8 * static_cast<size_t>(i), static_cast<uint32_t>(bits >> 32));
    }
    std::memcpy(b.data() + 28 + 8 * static_cast<size_t>(gop.pictures), gop.payload.data(), gop.payload.size());
    return b;
}

struct RunResult {
    int64_t frames = 0;
    int64_t badFrames = 0;  // wrong size or format
    double seconds = 0.0;
    double cpuSeconds = 0.0;
};

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

RunResult Run(DecoderApi& api, const Gop& gop, int cameras, size_t threads, double seconds) {
    std::atomic<double> local{kT0};
    processing::FrameStorageOptions options;
    options.threads = threads;
    options.api = &api;
    options.clocks = {[&local] { return local.load(); }, [&local] { return local.load(); }};
    auto storage = std::make_unique<processing::MPEG4FrameStorage>(options);

    const double gopDays = gop.pictures * kFrameDays;
    std::vector<processing::SequenceKey> keys;
    std::vector<int64_t> pushedBlocks(static_cast<size_t>(cameras), 0);
    std::vector<int64_t> taken(static_cast<size_t>(cameras), 0);
    auto push = [&](int camera) {
        const auto index = static_cast<size_t>(camera);
        const auto block = TableBlock(kT0 + static_cast<double>(pushedBlocks[index]) * gopDays, gop);
        if (!storage->PushLiveBlock(keys[index], block.data(), block.size(), pushedBlocks[index] == 0))
            std::fprintf(stderr, "camera %d: block %lld refused\n", camera, static_cast<long long>(pushedBlocks[index]));
        ++pushedBlocks[index];
    };
    for (int c = 0; c < cameras; ++c) {
        keys.push_back(processing::LiveSequenceKey(1, 0, c));
        push(c);
        push(c);
    }

    RunResult result;
    int64_t tick = 0;
    TOrvFrame frame;
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ProcessCpuSeconds();
    const auto deadline = start + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        bool progress = false;
        bool tickDone = true;
        bool early = false;
        for (int c = 0; c < cameras; ++c) {
            const auto index = static_cast<size_t>(c);
            if (taken[index] > tick) continue;  // already has this tick's picture
            if (storage->TakeLiveFrame(keys[index], frame)) {
                progress = true;
                ++taken[index];
                ++result.frames;
                if (frame.format != Bgr24 || frame.width != kWidth || frame.height != kHeight ||
                    frame.data.size() != static_cast<size_t>(kWidth * kHeight * 3))
                    ++result.badFrames;
                // Keep two blocks queued ahead of the one being taken from.
                if (taken[index] / gop.pictures + 2 > pushedBlocks[index]) push(c);
            }
            if (taken[index] <= tick) {
                tickDone = false;
                // A decoded picture that is not handed out is early for the line: move the line on.
                const auto processor = storage->FindProcessor(keys[index]);
                if (processor && processor->Ready() > 0) early = true;
            }
        }
        if (tickDone || (!progress && early)) {
            ++tick;
            local = kT0 + static_cast<double>(tick) * kFrameDays;
            continue;
        }
        if (!progress) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.cpuSeconds = ProcessCpuSeconds() - cpuStart;
    return result;
}

// The machine's own ceiling: the same pictures decoded by libavcodec in plain
// loops, one decoder per thread, on `threads` threads at once. Pictures per
// second over all threads.
double PlainDecodeRate(const Gop& gop, int threads, double seconds) {
    std::atomic<int64_t> pictures{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
            AVCodecContext* ctx = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
            if (ctx == nullptr) return;
            ctx->thread_count = 1;
            AVPacket* packet = av_packet_alloc();
            AVFrame* frame = av_frame_alloc();
            if (avcodec_open2(ctx, codec, nullptr) >= 0) {
                int64_t mine = 0;
                while (!stop.load(std::memory_order_relaxed)) {
                    size_t offset = 0;
                    for (size_t size : gop.sizes) {
                        if (av_new_packet(packet, static_cast<int>(size)) < 0) break;
                        std::memcpy(packet->data, gop.payload.data() + offset, size);
                        offset += size;
                        avcodec_send_packet(ctx, packet);
                        av_packet_unref(packet);
                        while (avcodec_receive_frame(ctx, frame) >= 0) ++mine;
                    }
                }
                pictures += mine;
            }
            av_frame_free(&frame);
            av_packet_free(&packet);
            avcodec_free_context(&ctx);
        });
    }
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& w : workers) w.join();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return static_cast<double>(pictures.load()) / elapsed;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0.0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string Uptime() {
    std::FILE* f = popen("uptime", "r");
    if (f == nullptr) return "?";
    char line[256] = {};
    const bool ok = std::fgets(line, sizeof line, f) != nullptr;
    pclose(f);
    std::string text = ok ? line : "?";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const int cameras = argc > 1 ? std::atoi(argv[1]) : 8;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 6.0;
    const int gopLength = argc > 3 ? std::atoi(argv[3]) : 25;
    const int rounds = argc > 4 ? std::atoi(argv[4]) : 3;
    if (cameras < 1 || seconds <= 0.0 || gopLength < 1 || rounds < 1) {
        std::fprintf(stderr, "usage: %s [cameras] [seconds-per-run] [gop] [rounds]\n", argv[0]);
        return 2;
    }
    const Gop gop = EncodeGop(gopLength);
    if (gop.pictures != gopLength) {
        std::fprintf(stderr, "libx264 encoder not available or short GOP (%d)\n", gop.pictures);
        return 1;
    }
    DecoderApi api(platform::DynamicLibrary::OwnDirectory() + "../src/libVEVIDAZev2.so");
    if (!api.AddUser()) {
        std::fprintf(stderr, "decoder plug-in not found (build target VEVIDAZev2)\n");
        return 1;
    }
    std::printf("%d cameras, %dx%d H.264, GOP %d (%zu bytes), %.1f s per run, %u hardware threads\n", cameras,
                kWidth, kHeight, gopLength, gop.payload.size(), seconds, std::thread::hardware_concurrency());
    std::printf("load before: %s\n", Uptime().c_str());
    // The machine's speed drifts, so one and two workers take turns over several
    // rounds, and the plain decoding loops likewise; the medians are reported.
    std::printf("%-6s %-8s %10s %12s %10s %8s\n", "round", "workers", "frames", "frames/s", "cpu/wall", "bad");
    std::vector<double> poolGains, plainGains;
    for (int round = 1; round <= rounds; ++round) {
        double rate[3] = {};
        for (size_t threads : {size_t{1}, size_t{2}}) {
            const RunResult r = Run(api, gop, cameras, threads, seconds);
            rate[threads] = static_cast<double>(r.frames) / r.seconds;
            std::printf("%-6d %-8zu %10lld %12.1f %10.2f %8lld\n", round, threads, static_cast<long long>(r.frames),
                        rate[threads], r.cpuSeconds / r.seconds, static_cast<long long>(r.badFrames));
            std::fflush(stdout);
        }
        poolGains.push_back(rate[1] > 0 ? rate[2] / rate[1] : 0.0);
        // What two threads of plain decoding gain on this machine, for comparison.
        const double plainOne = PlainDecodeRate(gop, 1, seconds / 2);
        const double plainTwo = PlainDecodeRate(gop, 2, seconds / 2);
        std::printf("%-6d plain libavcodec decoding, pictures/s: 1 thread %.1f, 2 threads %.1f\n", round, plainOne,
                    plainTwo);
        plainGains.push_back(plainOne > 0 ? plainTwo / plainOne : 0.0);
    }
    const double poolGain = Median(poolGains);
    const double plainGain = Median(plainGains);
    std::printf("speed-up 2 vs 1 worker (median of %d rounds): %.2fx\n", rounds, poolGain);
    std::printf("plain decoding, 2 vs 1 thread (median):      %.2fx\n", plainGain);
    std::printf("pool speed-up / plain speed-up:              %.2f\n", plainGain > 0 ? poolGain / plainGain : 0.0);
    std::printf("load after: %s\n", Uptime().c_str());
    api.RemoveUser();
    return 0;
}
