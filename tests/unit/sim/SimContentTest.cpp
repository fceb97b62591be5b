// Camera content: JPEG pictures, block updates and compressed blocks decode to
// the predicted synthetic picture.
#include <gtest/gtest.h>
#include <turbojpeg.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <atomic>
#include <cmath>
#include <cstring>
#include <optional>

#include "SimTestClient.h"
#include "protocol/Wire.h"
#include "sim/JpegCodec.h"
#include "sim/SimCamera.h"
#include "sim/Simulator.h"

namespace {

using orv_sim::PlanarPicture;
using orv_sim::Subsampling;

constexpr int64_t kT0 = 1'700'000'000'000;

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) return 0.0;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        sum += d * d;
    }
    if (sum == 0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(a.size()) / sum);
}


// Decodes a JPEG into planes of the given geometry; empty planes on failure.
std::optional<PlanarPicture> DecodeJpeg(const std::vector<uint8_t>& jpeg, int* subsampOut = nullptr) {
    tjhandle tj = tjInitDecompress();
    int width = 0, height = 0, samp = 0, colourspace = 0;
    if (tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), &width, &height, &samp, &colourspace) != 0) {
        tjDestroy(tj);
        return std::nullopt;
    }
    if (subsampOut != nullptr) *subsampOut = samp;
    const Subsampling s = samp == TJSAMP_GRAY  ? Subsampling::Grey
                          : samp == TJSAMP_444 ? Subsampling::S444
                          : samp == TJSAMP_422 ? Subsampling::S422
                                               : Subsampling::S420;
    PlanarPicture p;
    orv_sim::ShapePicture(p, width, height, s);
    unsigned char* planes[3] = {p.y.data(), p.u.data(), p.v.data()};
    int strides[3] = {p.width, p.chromaWidth, p.chromaWidth};
    const int rc = tjDecompressToYUVPlanes(tj, jpeg.data(), jpeg.size(), planes, width, strides, height, 0);
    tjDestroy(tj);
    if (rc != 0) return std::nullopt;
    return p;
}

struct JpegCase {
    Subsampling subsampling;
    int width;
    int height;
};

class SimJpeg : public ::testing::TestWithParam<JpegCase> {};

TEST_P(SimJpeg, EncodedPictureDecodesToTheRenderedOne) {
    const JpegCase c = GetParam();
    const PlanarPicture rendered = orv_sim::RenderPicture(6, kT0 + 1234, c.width, c.height, c.subsampling);
    orv_sim::JpegEncoder encoder;
    const std::vector<uint8_t> jpeg = encoder.Encode(rendered, 90);
    ASSERT_GT(jpeg.size(), 3u);
    int samp = -1;
    const auto decoded = DecodeJpeg(jpeg, &samp);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(samp, orv_sim::TjSubsampling(c.subsampling));
    EXPECT_EQ(decoded->width, c.width);
    EXPECT_EQ(decoded->height, c.height);
    EXPECT_GT(Psnr(decoded->y, rendered.y), 30.0);
    if (c.subsampling != Subsampling::Grey) {
        EXPECT_GT(Psnr(decoded->u, rendered.u), 30.0);
    }
    // The picture moves with time: a second later it is a different picture.
    const PlanarPicture later = orv_sim::RenderPicture(6, kT0 + 2234, c.width, c.height, c.subsampling);
    EXPECT_LT(Psnr(later.y, rendered.y), 30.0);
}

INSTANTIATE_TEST_SUITE_P(Subsamplings, SimJpeg,
                         ::testing::Values(JpegCase{Subsampling::S420, 640, 360},
                                           JpegCase{Subsampling::S422, 352, 288},
                                           JpegCase{Subsampling::S444, 320, 240},
                                           JpegCase{Subsampling::Grey, 640, 480},
                                           JpegCase{Subsampling::S420, 3840, 2160}));

// Applies a block update in planar form: the same placement rules the client
// uses on its packed pictures (mask bit order, BW blocks per packed row).
std::optional<PlanarPicture> ApplyUpdate(const PlanarPicture& base, const std::vector<uint8_t>& update) {
    if (update.size() <= orv_sim::kBlockUpdateHeaderSize || update[0] != 0xF3 || update[1] != 0xC9)
        return std::nullopt;
    const int maskLength = orv_stuff::GetI32(&update[2]);
    const int bw = orv_stuff::GetI32(&update[6]);
    const int bh = orv_stuff::GetI32(&update[10]);
    if (orv_stuff::GetI32(&update[14]) != base.width || orv_stuff::GetI32(&update[18]) != base.height)
        return std::nullopt;
    const std::vector<uint8_t> jpeg(update.begin() + 22 + maskLength, update.end());
    const auto packed = DecodeJpeg(jpeg);
    if (!packed || packed->width < 8 * bw || packed->height < 8 * bh) return std::nullopt;
    PlanarPicture out = base;
    const int perRow = base.width / 8;
    const int fx = orv_sim::ChromaFactorX(base.subsampling);
    const int fy = orv_sim::ChromaFactorY(base.subsampling);
    int copied = 0;
    for (int i = 0; i < maskLength && copied < bw * bh; ++i) {
        for (int bit = 0; bit < 8 && copied < bw * bh; ++bit) {
            if ((update[22 + static_cast<size_t>(i)] >> bit & 1) == 0) continue;
            const int block = 8 * i + bit;
            const int dx = block % perRow, dy = block / perRow;
            const int sx = copied % bw, sy = copied / bw;
            for (int r = 0; r < 8; ++r) {
                std::memcpy(&out.y[static_cast<size_t>(dy * 8 + r) * out.width + dx * 8],
                            &packed->y[static_cast<size_t>(sy * 8 + r) * packed->width + sx * 8], 8);
            }
            for (int r = 0; fx != 0 && r < 8 / fy; ++r) {
                const size_t d = static_cast<size_t>(dy * 8 / fy + r) * out.chromaWidth + dx * 8 / fx;
                const size_t s = static_cast<size_t>(sy * 8 / fy + r) * packed->chromaWidth + sx * 8 / fx;
                std::memcpy(&out.u[d], &packed->u[s], static_cast<size_t>(8 / fx));
                std::memcpy(&out.v[d], &packed->v[s], static_cast<size_t>(8 / fx));
            }
            ++copied;
        }
    }
    return out;
}

class SimBlockUpdate : public ::testing::TestWithParam<Subsampling> {};

TEST_P(SimBlockUpdate, ChangedBlocksTurnTheFullPictureIntoTheLaterOne) {
    const Subsampling s = GetParam();
    const PlanarPicture base = orv_sim::RenderPicture(1, kT0, 640, 360, s);
    const PlanarPicture current = orv_sim::RenderPicture(1, kT0 + 700, 640, 360, s);
    orv_sim::JpegEncoder encoder;
    const auto decodedBase = DecodeJpeg(encoder.Encode(base, 90));
    ASSERT_TRUE(decodedBase);
    int changed = 0;
    const std::vector<uint8_t> update = orv_sim::BuildBlockUpdate(base, current, encoder, 90, &changed);
    ASSERT_FALSE(update.empty());
    const int blocks = (640 / 8) * (360 / 8);
    EXPECT_EQ(orv_stuff::GetI32(&update[2]), (blocks + 7) / 8);
    int bits = 0;
    for (int i = 0; i < (blocks + 7) / 8; ++i)
        bits += __builtin_popcount(update[22 + static_cast<size_t>(i)]);
    EXPECT_EQ(bits, changed);
    EXPECT_GT(changed, 0);
    EXPECT_LT(changed, blocks / 2);  // only the box and the clock change
    EXPECT_GE(orv_stuff::GetI32(&update[6]) * orv_stuff::GetI32(&update[10]), changed);

    const auto rebuilt = ApplyUpdate(*decodedBase, update);
    ASSERT_TRUE(rebuilt);
    EXPECT_GT(Psnr(rebuilt->y, current.y), 30.0);
    EXPECT_LT(Psnr(decodedBase->y, current.y), Psnr(rebuilt->y, current.y) - 3.0);
}

INSTANTIATE_TEST_SUITE_P(Subsamplings, SimBlockUpdate,
                         ::testing::Values(Subsampling::S420, Subsampling::S422, Subsampling::S444,
                                           Subsampling::Grey));

TEST(SimBlockUpdateLive, FullPictureFirstThenEmptyPayloadsWithChangedBlocksUntilTheNextFullOne) {
    std::atomic<int64_t> now{kT0};
    orv_sim::ServerConfig server;
    orv_sim::CameraConfig camera;
    camera.kind = orv_sim::CameraKind::JpegBlocks;
    camera.width = 160;
    camera.height = 96;
    camera.fps = 10;
    camera.gop = 5;
    server.cameras = {camera};
    orv_sim::SimulatorOptions options;
    options.clockMs = [&] { return now.load(); };
    orv_sim::Simulator sim({server}, options);
    orv_sim_test::RawClient client(sim.Server(0).Port());

    auto ask = [&](int32_t lastId) {
        std::vector<uint8_t> payload(orv_stuff::kFrameEntryLongSize);
        orv_stuff::TFrameEntry e;
        e.frameId = lastId;
        orv_stuff::EncodeFrameEntry(e, payload.data(), payload.size());
        orv_stuff::TMsgHeader rq = orv_sim_test::Request(orv_stuff::kCmdLiveFrames, 715);
        rq.field12 = 1;
        EXPECT_TRUE(client.Send(rq, payload));
        const auto header = client.ReadHeader();
        const auto entryBytes = header ? client.Read(orv_sim_test::Positive(header->field24)) : std::nullopt;
        orv_stuff::TFrameEntry reply;
        if (!entryBytes) return std::make_tuple(reply, std::vector<uint8_t>{}, std::vector<uint8_t>{});
        reply = orv_stuff::DecodeFrameEntry(entryBytes->data(), orv_stuff::kFrameEntryLongSize);
        auto full = client.Read(orv_sim_test::Positive(reply.payloadLength)).value_or(std::vector<uint8_t>{});
        auto aux = client.Read(orv_sim_test::Positive(reply.auxLength)).value_or(std::vector<uint8_t>{});
        return std::make_tuple(reply, full, aux);
    };

    auto [first, firstJpeg, firstAux] = ask(0);
    ASSERT_GT(first.payloadLength, 3);
    EXPECT_EQ(first.auxLength, 0);
    auto held = DecodeJpeg(firstJpeg);
    ASSERT_TRUE(held);
    int32_t lastId = first.frameId;
    for (int step = 1; step <= 7; ++step) {
        now += 100;
        auto [entry, jpeg, aux] = ask(lastId);
        EXPECT_EQ(entry.frameId, lastId + 1);
        lastId = entry.frameId;
        const PlanarPicture expected =
            orv_sim::RenderPicture(0, kT0 + 100 * step, 160, 96, Subsampling::S420);
        if (step == 5) {
            // A group of five frames has passed: a full picture again.
            ASSERT_GT(entry.payloadLength, 3);
            EXPECT_EQ(entry.auxLength, 0);
            held = DecodeJpeg(jpeg);
            ASSERT_TRUE(held);
            EXPECT_GT(Psnr(held->y, expected.y), 30.0);
            continue;
        }
        EXPECT_EQ(entry.payloadLength, 0) << "step " << step;
        ASSERT_GT(entry.auxLength, 22) << "step " << step;
        const auto rebuilt = ApplyUpdate(*held, aux);
        ASSERT_TRUE(rebuilt);
        EXPECT_GT(Psnr(rebuilt->y, expected.y), 30.0) << "step " << step;
    }
    // A client that lost its picture (reports no frame) gets a full one.
    now += 100;
    auto [fresh, freshJpeg, freshAux] = ask(0);
    EXPECT_GT(fresh.payloadLength, 3);
    EXPECT_EQ(fresh.auxLength, 0);
}

// ---------------------------------------------------------------------------
// Compressed blocks

struct ParsedBlock {
    std::vector<double> times;
    std::vector<std::vector<uint8_t>> payloads;  // one per chain record, one in total for a table
};

std::optional<ParsedBlock> ParseBlock(const std::vector<uint8_t>& b) {
    if (b.size() < 24) return std::nullopt;
    ParsedBlock out;
    const int32_t magic = orv_stuff::GetI32(b.data());
    if (magic == orv_sim::kTableBlockMagic) {
        const int32_t length = orv_stuff::GetI32(&b[8]);
        const int32_t n = orv_stuff::GetI32(&b[20]);
        const size_t start = 28 + 8 * static_cast<size_t>(n);
        if (n < 1 || length < 4 || start + static_cast<size_t>(length) != b.size()) return std::nullopt;
        for (int32_t i = 0; i < n; ++i)
            out.times.push_back(orv_stuff::GetF64(&b[28 + 8 * static_cast<size_t>(i)]));
        out.payloads.emplace_back(b.begin() + static_cast<ptrdiff_t>(start), b.end());
        return out;
    }
    if (magic != orv_sim::kChainBlockMagic) return std::nullopt;
    size_t pos = 0;
    while (pos < b.size()) {
        if (pos + 24 > b.size()) return std::nullopt;
        const int32_t length = orv_stuff::GetI32(&b[pos + 16]);
        if (length < 0 || pos + 24 + static_cast<size_t>(length) > b.size()) return std::nullopt;
        out.times.push_back(orv_stuff::GetF64(&b[pos + 8]));
        out.payloads.emplace_back(b.begin() + static_cast<ptrdiff_t>(pos + 24),
                                  b.begin() + static_cast<ptrdiff_t>(pos + 24 + static_cast<size_t>(length)));
        pos += 24 + static_cast<size_t>(length);
    }
    return out;
}

// Decodes a bitstream with libavcodec; returns the luma planes of all pictures.
std::vector<std::vector<uint8_t>> DecodeStream(AVCodecID id, const std::vector<uint8_t>& stream, int* width,
                                               int* height) {
    std::vector<std::vector<uint8_t>> pictures;
    const AVCodec* codec = avcodec_find_decoder(id);
    AVCodecParserContext* parser = av_parser_init(id);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    if (codec == nullptr || parser == nullptr || ctx == nullptr || avcodec_open2(ctx, codec, nullptr) < 0)
        return pictures;
    auto collect = [&] {
        while (avcodec_receive_frame(ctx, frame) == 0) {
            *width = frame->width;
            *height = frame->height;
            std::vector<uint8_t> y(static_cast<size_t>(frame->width) * frame->height);
            for (int r = 0; r < frame->height; ++r) {
                std::memcpy(&y[static_cast<size_t>(r) * frame->width],
                            frame->data[0] + r * frame->linesize[0], static_cast<size_t>(frame->width));
            }
            pictures.push_back(std::move(y));
        }
    };
    std::vector<uint8_t> padded(stream);
    padded.resize(stream.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    const uint8_t* data = padded.data();
    int left = static_cast<int>(stream.size());
    while (left > 0) {
        const int used = av_parser_parse2(parser, ctx, &packet->data, &packet->size, data, left,
                                          AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (used < 0) break;
        data += used;
        left -= used;
        if (packet->size > 0 && avcodec_send_packet(ctx, packet) == 0) collect();
    }
    av_parser_parse2(parser, ctx, &packet->data, &packet->size, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE,
                     0);
    if (packet->size > 0 && avcodec_send_packet(ctx, packet) == 0) collect();
    avcodec_send_packet(ctx, nullptr);
    collect();
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
    av_parser_close(parser);
    return pictures;
}

struct BlockCase {
    orv_sim::CameraKind kind;
    orv_sim::BlockLayout layout;
    int bFrames = 0;
};

class SimCompressed : public ::testing::TestWithParam<BlockCase> {};

TEST_P(SimCompressed, EachBlockStartsWithAKeyFrameAndDecodesAlone) {
    const BlockCase c = GetParam();
    const bool h264 = c.kind == orv_sim::CameraKind::H264;
    if (h264 && !orv_sim::H264EncoderAvailable()) GTEST_SKIP() << "no H.264 encoder in libavcodec";
    orv_sim::CameraConfig config;
    config.kind = c.kind;
    config.layout = c.layout;
    config.width = 160;
    config.height = 96;
    config.fps = 25;
    config.gop = 10;
    config.bFrames = c.bFrames;
    orv_sim::SimCamera camera(4, config, kT0);
    const auto block = camera.Unit(3);  // frames 30..39
    ASSERT_TRUE(block);
    const auto parsed = ParseBlock(*block);
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->times.size(), 10u);
    for (size_t i = 0; i < parsed->times.size(); ++i) {
        EXPECT_NEAR(parsed->times[i],
                    orv_stuff::OleFromUnixMs(camera.Timeline().FrameTime(30 + static_cast<int64_t>(i))),
                    1e-9);
    }
    EXPECT_EQ(parsed->payloads.size(), c.layout == orv_sim::BlockLayout::Table ? 1u : 10u);
    std::vector<uint8_t> stream;
    for (const auto& p : parsed->payloads) {
        ASSERT_GE(p.size(), 4u);
        // The client tells the kind from the start code: four bytes for H.264, three for MPEG-4.
        if (h264) {
            EXPECT_EQ(std::vector<uint8_t>(p.begin(), p.begin() + 4), (std::vector<uint8_t>{0, 0, 0, 1}));
        } else {
            EXPECT_EQ(std::vector<uint8_t>(p.begin(), p.begin() + 3), (std::vector<uint8_t>{0, 0, 1}));
        }
        stream.insert(stream.end(), p.begin(), p.end());
    }
    int width = 0, height = 0;
    const auto pictures = DecodeStream(h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_MPEG4, stream, &width, &height);
    ASSERT_EQ(pictures.size(), 10u);
    EXPECT_EQ(width, 160);
    EXPECT_EQ(height, 96);
    for (size_t i : {size_t{0}, size_t{9}}) {
        const PlanarPicture expected = orv_sim::RenderPicture(
            4, camera.Timeline().FrameTime(30 + static_cast<int64_t>(i)), 160, 96, Subsampling::S420);
        EXPECT_GT(Psnr(pictures[i], expected.y), 25.0) << "picture " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(KindsAndLayouts, SimCompressed,
                         ::testing::Values(BlockCase{orv_sim::CameraKind::Mpeg4, orv_sim::BlockLayout::Table},
                                           BlockCase{orv_sim::CameraKind::Mpeg4, orv_sim::BlockLayout::Chain},
                                           BlockCase{orv_sim::CameraKind::H264, orv_sim::BlockLayout::Table},
                                           BlockCase{orv_sim::CameraKind::H264, orv_sim::BlockLayout::Chain},
                                           BlockCase{orv_sim::CameraKind::Mpeg4, orv_sim::BlockLayout::Table, 2},
                                           BlockCase{orv_sim::CameraKind::H264, orv_sim::BlockLayout::Table, 3}));

TEST(SimTimeline, UnitsCoverWholeGroupsAndFrameTimesFollowTheRate) {
    const orv_sim::CameraTimeline line(kT0, 3, 4);  // 3 fps: 333 ms steps with rounding
    EXPECT_EQ(line.FrameTime(1), kT0 + 333);
    EXPECT_EQ(line.FrameTime(3), kT0 + 1000);
    EXPECT_EQ(line.LatestFrame(kT0 - 1), -1);
    EXPECT_EQ(line.LatestFrame(kT0 + 332), 0);
    EXPECT_EQ(line.LatestFrame(kT0 + 333), 1);
    // A group of 4 frames is complete once its last frame is due.
    EXPECT_EQ(line.LatestUnit(kT0 + 999), -1);
    EXPECT_EQ(line.LatestUnit(kT0 + 1000), 0);
    EXPECT_EQ(line.FirstUnitAtOrAfter(kT0 + 1), 1);
    EXPECT_EQ(line.LastUnitAtOrBefore(kT0 + 1332), 0);
    EXPECT_EQ(line.LastUnitAtOrBefore(kT0 + 1333), 1);
}

}  // namespace
