// Decoding real streams through the plug-in, loaded at run time by DecoderApi.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <atomic>
#include <map>
#include <string>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "PluginHarness.h"
#include "TestStreams.h"

namespace {

using dectest::EncodedStream;
using dectest::EncodeSettings;
using dectest::Picture;
using processing::MPEG4Decoder;

constexpr int32_t kReserved = 1;
constexpr double kMinPsnr = 30.0;

struct StreamCase {
    const char* name;
    const char* encoder;
    int gop;
    int bFrames;
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

int32_t KindOf(const std::string& encoder) {
    return encoder == "mpeg4" ? MPEG4Decoder::kKindMpeg4 : MPEG4Decoder::kKindAvc;
}

// Encoded streams are cached: several tests use the same one.
const EncodedStream& Stream(const EncodeSettings& s) {
    static std::map<std::string, EncodedStream> cache;
    static std::mutex mutex;
    const std::string key = s.encoder + "/" + std::to_string(s.width) + "x" + std::to_string(s.height) + "/" +
                            std::to_string(s.frames) + "/" + std::to_string(s.gop) + "/" +
                            std::to_string(s.bFrames) + "/" + std::to_string(s.grey) + "/" +
                            std::to_string(s.fullRange);
    std::lock_guard lock(mutex);
    auto it = cache.find(key);
    if (it == cache.end()) it = cache.emplace(key, dectest::Encode(s)).first;
    return it->second;
}

// Every picture matches its own source much better than the next one, so a
// skipped, repeated or reordered picture is caught.
void ExpectPicturesMatch(const std::vector<Picture>& got, const EncodedStream& stream, size_t first,
                         bool grey = false) {
    for (size_t i = 0; i < got.size(); ++i) {
        const auto& source = stream.pictures[first + i];
        ASSERT_EQ(got[i].width, source.width);
        ASSERT_EQ(got[i].height, source.height);
        ASSERT_EQ(got[i].pixelFormat == 1, grey) << "pixel format " << got[i].pixelFormat;
        const double own = dectest::Psnr(source, got[i].data, grey);
        EXPECT_GT(own, kMinPsnr) << "picture " << first + i;
        for (size_t other : {first + i - 1, first + i + 1}) {
            if (other >= stream.pictures.size()) continue;
            EXPECT_GT(own, dectest::Psnr(stream.pictures[other], got[i].data, grey) + 3.0)
                << "picture " << first + i << " looks like picture " << other;
        }
    }
}

class PluginDecode : public ::testing::TestWithParam<StreamCase> {
protected:
    static void SetUpTestSuite() { av_log_set_level(AV_LOG_QUIET); }
    void SetUp() override {
        ASSERT_TRUE(dectest::PluginApi().AddUser()) << "plug-in " << ORV_TEST_DECODER_PLUGIN << " not loadable";
        if (!dectest::EncoderAvailable(GetParam().encoder)) GTEST_SKIP() << GetParam().encoder << " missing";
    }
    void TearDown() override { dectest::PluginApi().RemoveUser(); }

    EncodeSettings Settings(int frames) const {
        EncodeSettings s;
        s.encoder = GetParam().encoder;
        s.frames = frames;
        s.gop = GetParam().gop;
        s.bFrames = GetParam().bFrames;
        return s;
    }
};

TEST_P(PluginDecode, OneBlockYieldsEveryPictureInDisplayOrder) {
    const EncodedStream& stream = Stream(Settings(12));
    ASSERT_TRUE(stream.ok);
    MPEG4Decoder decoder(dectest::PluginApi());
    ASSERT_TRUE(decoder.SetCodec(KindOf(GetParam().encoder)));
    const auto block = dectest::Block(stream, 0, 12);
    ASSERT_EQ(decoder.SetBytes(block.data(), static_cast<int32_t>(block.size()), kReserved, 0, 1), 0);
    const auto pictures = dectest::FetchAll(decoder);
    ASSERT_EQ(pictures.size(), 12u);
    ExpectPicturesMatch(pictures, stream, 0);
}

// Live feeding: one handle, consecutive blocks, each drained before the next.
// Blocks after the first start with predicted pictures in the low-delay cases,
// so this also proves references survive from one block to the next. Streams
// with B-frames are cut at key frames: their blocks must be self-contained.
TEST_P(PluginDecode, ConsecutiveBlocksOnOneHandle) {
    const EncodedStream& stream = Stream(Settings(15));
    ASSERT_TRUE(stream.ok);
    MPEG4Decoder decoder(dectest::PluginApi());
    ASSERT_TRUE(decoder.SetCodec(KindOf(GetParam().encoder)));
    const auto starts = dectest::BlockStarts(stream, GetParam().bFrames > 0, 5);
    ASSERT_GT(starts.size(), 3u);
    for (size_t b = 0; b + 1 < starts.size(); ++b) {
        const size_t count = starts[b + 1] - starts[b];
        const auto block = dectest::Block(stream, starts[b], count);
        ASSERT_EQ(decoder.SetBytes(block.data(), static_cast<int32_t>(block.size()), kReserved, 0, 1), 0);
        const auto pictures = dectest::FetchAll(decoder);
        ASSERT_EQ(pictures.size(), count) << "block at " << starts[b];
        ExpectPicturesMatch(pictures, stream, starts[b]);
    }
}

// Chunks that are not blocks of their own (endOfBlock 0) form one continuous
// stream: cut anywhere between pictures, even inside a GOP with B-frames, every
// picture comes out once and in order, the held-back ones with the final block.
TEST_P(PluginDecode, ChainedChunksFormOneStream) {
    const EncodedStream& stream = Stream(Settings(15));
    ASSERT_TRUE(stream.ok);
    MPEG4Decoder decoder(dectest::PluginApi());
    ASSERT_TRUE(decoder.SetCodec(KindOf(GetParam().encoder)));
    std::vector<Picture> pictures;
    for (size_t first = 0; first < 15; first += 4) {
        const size_t count = std::min<size_t>(4, 15 - first);
        const auto chunk = dectest::Block(stream, first, count);
        const int32_t endOfBlock = first + count == 15 ? 1 : 0;
        ASSERT_EQ(decoder.SetBytes(chunk.data(), static_cast<int32_t>(chunk.size()), kReserved, 0, endOfBlock), 0);
        auto got = dectest::FetchAll(decoder);
        EXPECT_LE(got.size(), count + static_cast<size_t>(GetParam().bFrames));
        std::move(got.begin(), got.end(), std::back_inserter(pictures));
    }
    ASSERT_EQ(pictures.size(), 15u);
    ExpectPicturesMatch(pictures, stream, 0);
}

// Archive reading: a new handle for every block, each fetched picture by picture.
TEST_P(PluginDecode, NewHandlePerBlock) {
    const EncodedStream& stream = Stream(Settings(15));
    ASSERT_TRUE(stream.ok);
    MPEG4Decoder decoder(dectest::PluginApi());
    const auto starts = dectest::BlockStarts(stream, true, 0);
    for (size_t b = 0; b + 1 < starts.size(); ++b) {
        ASSERT_TRUE(decoder.SetCodec(KindOf(GetParam().encoder)));
        const size_t count = starts[b + 1] - starts[b];
        const auto block = dectest::Block(stream, starts[b], count);
        ASSERT_EQ(decoder.SetBytes(block.data(), static_cast<int32_t>(block.size()), kReserved, 1, 1), 0);
        const auto pictures = dectest::FetchAll(decoder);
        ASSERT_EQ(pictures.size(), count);
        ExpectPicturesMatch(pictures, stream, starts[b]);
    }
}

TEST_P(PluginDecode, GreyOutputOnRequest) {
    const EncodedStream& stream = Stream(Settings(12));
    ASSERT_TRUE(stream.ok);
    MPEG4Decoder decoder(dectest::PluginApi());
    ASSERT_TRUE(decoder.SetCodec(KindOf(GetParam().encoder)));
    const auto& api = dectest::PluginApi().Functions();
    ASSERT_EQ(api.SetParams(decoder.Handle(), decoder_abi::kParamGreyOutput, 1), 0);
    const auto block = dectest::Block(stream, 0, 12);
    ASSERT_EQ(decoder.SetBytes(block.data(), static_cast<int32_t>(block.size()), kReserved, 0, 1), 0);
    const auto pictures = dectest::FetchAll(decoder);
    ASSERT_EQ(pictures.size(), 12u);
    for (const auto& p : pictures) EXPECT_EQ(p.data.size(), static_cast<size_t>(p.width) * p.height);
    ExpectPicturesMatch(pictures, stream, 0, true);
}

// A damaged stream may lose pictures, never the process.
TEST_P(PluginDecode, CorruptedBlockIsSurvived) {
    const EncodedStream& stream = Stream(Settings(12));
    ASSERT_TRUE(stream.ok);
    MPEG4Decoder decoder(dectest::PluginApi());
    ASSERT_TRUE(decoder.SetCodec(KindOf(GetParam().encoder)));
    auto block = dectest::Block(stream, 0, 12);
    uint32_t state = 12345;
    for (size_t i = 40; i < block.size(); i += 1 + (state >> 24) % 61) {
        state = state * 1664525u + 1013904223u;
        block[i] ^= static_cast<uint8_t>(state >> 16);
    }
    ASSERT_EQ(decoder.SetBytes(block.data(), static_cast<int32_t>(block.size()), kReserved, 0, 1), 0);
    EXPECT_LE(dectest::FetchAll(decoder).size(), 12u);
    // Cut in the middle of a picture.
    const auto whole = dectest::Block(stream, 0, 12);
    ASSERT_EQ(decoder.SetBytes(whole.data(), static_cast<int32_t>(whole.size() * 2 / 3), kReserved, 1, 1), 0);
    EXPECT_LE(dectest::FetchAll(decoder).size(), 12u);
    // And the handle still decodes a sound block afterwards.
    ASSERT_EQ(decoder.SetBytes(whole.data(), static_cast<int32_t>(whole.size()), kReserved, 1, 1), 0);
    const auto pictures = dectest::FetchAll(decoder);
    ASSERT_EQ(pictures.size(), 12u);
    ExpectPicturesMatch(pictures, stream, 0);
}

INSTANTIATE_TEST_SUITE_P(Streams, PluginDecode,
                         ::testing::Values(StreamCase{"Mpeg4Intra", "mpeg4", 1, 0},
                                           StreamCase{"Mpeg4OneKeyFrame", "mpeg4", 100, 0},
                                           StreamCase{"Mpeg4BFrames", "mpeg4", 5, 2},
                                           StreamCase{"AvcIntra", "libx264", 1, 0},
                                           StreamCase{"AvcOneKeyFrame", "libx264", 100, 0},
                                           StreamCase{"AvcBFrames", "libx264", 5, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// What a user would get from libavcodec and libswscale asked for full-range
// output: every picture of the stream, in display order, packed like ours.
std::vector<std::vector<uint8_t>> ReferenceDecode(const EncodedStream& stream, const std::string& encoder,
                                                  bool grey) {
    std::vector<std::vector<uint8_t>> pictures;
    const AVCodec* codec = avcodec_find_decoder(encoder == "mpeg4" ? AV_CODEC_ID_MPEG4 : AV_CODEC_ID_H264);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    SwsContext* scaler = nullptr;
    context->thread_count = 1;
    const auto receive = [&] {
        while (avcodec_receive_frame(context, frame) == 0) {
            const int w = frame->width, h = frame->height;
            const auto format = static_cast<AVPixelFormat>(frame->format);
            // The ranges must be known when the context is set up: its plain
            // repacking shortcuts would otherwise skip the expansion.
            const bool fullSource = frame->color_range == AVCOL_RANGE_JPEG || format == AV_PIX_FMT_YUVJ420P;
            sws_freeContext(scaler);
            scaler = sws_alloc_context();
            av_opt_set_int(scaler, "srcw", w, 0);
            av_opt_set_int(scaler, "srch", h, 0);
            av_opt_set_int(scaler, "src_format", format, 0);
            av_opt_set_int(scaler, "dstw", w, 0);
            av_opt_set_int(scaler, "dsth", h, 0);
            av_opt_set_int(scaler, "dst_format", grey ? AV_PIX_FMT_GRAY8 : AV_PIX_FMT_YUYV422, 0);
            av_opt_set_int(scaler, "sws_flags", SWS_POINT | SWS_ACCURATE_RND | SWS_BITEXACT, 0);
            av_opt_set_int(scaler, "src_range", fullSource ? 1 : 0, 0);
            av_opt_set_int(scaler, "dst_range", 1, 0);
            if (sws_init_context(scaler, nullptr, nullptr) < 0) return;
            std::vector<uint8_t> out(static_cast<size_t>(w) * h * (grey ? 1 : 2));
            uint8_t* planes[4] = {out.data(), nullptr, nullptr, nullptr};
            int strides[4] = {w * (grey ? 1 : 2), 0, 0, 0};
            sws_scale(scaler, frame->data, frame->linesize, 0, h, planes, strides);
            pictures.push_back(std::move(out));
        }
    };
    if (avcodec_open2(context, codec, nullptr) == 0) {
        for (const auto& bytes : stream.packets) {
            std::vector<uint8_t> padded(bytes);
            padded.resize(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
            packet->data = padded.data();
            packet->size = static_cast<int>(bytes.size());
            avcodec_send_packet(context, packet);
            receive();
        }
        avcodec_send_packet(context, nullptr);
        receive();
    }
    sws_freeContext(scaler);
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
    return pictures;
}

int MaxDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) return 256;
    int most = 0;
    for (size_t i = 0; i < a.size(); ++i) most = std::max(most, std::abs(a[i] - b[i]));
    return most;
}

struct RangeCase {
    const char* name;
    EncodeSettings settings;
    bool greyRequest;
};

void PrintTo(const RangeCase& c, std::ostream* os) { *os << c.name; }

class PluginRange : public ::testing::TestWithParam<RangeCase> {
protected:
    static void SetUpTestSuite() { av_log_set_level(AV_LOG_QUIET); }
    void SetUp() override {
        ASSERT_TRUE(dectest::PluginApi().AddUser());
        if (!dectest::EncoderAvailable(GetParam().settings.encoder)) GTEST_SKIP() << "encoder missing";
    }
    void TearDown() override { dectest::PluginApi().RemoveUser(); }
};

// Video-range streams come out expanded to full range, full-range ones as they
// are, in colour and in grey: the same pictures libswscale makes of the frames.
// Both compute the same rounded expansion (libswscale in its exact mode), so no
// sample may differ by more than the one level a different tie rule could give;
// on these streams they are identical. A missing expansion is off by up to 19.
TEST_P(PluginRange, MatchesLibswscaleFullRangeOutput) {
    const RangeCase& c = GetParam();
    const EncodedStream& stream = Stream(c.settings);
    ASSERT_TRUE(stream.ok);
    const bool grey = c.greyRequest || c.settings.grey;
    const auto reference = ReferenceDecode(stream, c.settings.encoder, grey);
    ASSERT_EQ(reference.size(), stream.pictures.size());
    MPEG4Decoder decoder(dectest::PluginApi());
    ASSERT_TRUE(decoder.SetCodec(KindOf(c.settings.encoder)));
    if (c.greyRequest) {
        ASSERT_EQ(dectest::PluginApi().Functions().SetParams(decoder.Handle(), decoder_abi::kParamGreyOutput, 1), 0);
    }
    const auto block = dectest::Block(stream, 0, stream.packets.size());
    ASSERT_EQ(decoder.SetBytes(block.data(), static_cast<int32_t>(block.size()), kReserved, 0, 1), 0);
    const auto pictures = dectest::FetchAll(decoder);
    ASSERT_EQ(pictures.size(), reference.size());
    for (size_t i = 0; i < pictures.size(); ++i) {
        EXPECT_EQ(pictures[i].pixelFormat == 1, grey);
        EXPECT_LE(MaxDifference(pictures[i].data, reference[i]), 1) << "picture " << i;
    }
}

EncodeSettings RangeStream(const char* encoder, int bFrames, bool grey = false, bool fullRange = false) {
    EncodeSettings s;
    s.encoder = encoder;
    s.frames = 12;
    s.gop = 12;
    s.bFrames = bFrames;
    s.grey = grey;
    s.fullRange = fullRange;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, PluginRange,
    ::testing::Values(RangeCase{"Mpeg4BFrames", RangeStream("mpeg4", 2), false},
                      RangeCase{"Mpeg4GreyRequested", RangeStream("mpeg4", 0), true},
                      RangeCase{"AvcBFrames", RangeStream("libx264", 3), false},
                      RangeCase{"AvcGreyRequested", RangeStream("libx264", 0), true},
                      RangeCase{"AvcMonochrome", RangeStream("libx264", 0, true), false},
                      RangeCase{"AvcFullRangeFlagged", RangeStream("libx264", 0, false, true), false}),
    [](const auto& info) { return std::string(info.param.name); });

class PluginBehaviour : public ::testing::Test {
protected:
    static void SetUpTestSuite() { av_log_set_level(AV_LOG_QUIET); }
    void SetUp() override { ASSERT_TRUE(dectest::PluginApi().AddUser()); }
    void TearDown() override { dectest::PluginApi().RemoveUser(); }
    const DecoderFunctions& Api() { return dectest::PluginApi().Functions(); }
};

TEST_F(PluginBehaviour, TooSmallBufferKeepsThePictureReady) {
    const EncodedStream& stream = Stream(EncodeSettings{});
    ASSERT_TRUE(stream.ok);
    MPEG4Decoder decoder(dectest::PluginApi());
    ASSERT_TRUE(decoder.SetCodec(MPEG4Decoder::kKindMpeg4));
    const auto block = dectest::Block(stream, 0, 3);
    ASSERT_EQ(decoder.SetBytes(block.data(), static_cast<int32_t>(block.size()), kReserved, 0, 1), 0);
    int32_t w = 0, h = 0, f = 0;
    ASSERT_EQ(decoder.GetFrameInfo(w, h, f), 0);
    std::vector<uint8_t> buffer(static_cast<size_t>(w) * h * 2);
    EXPECT_NE(decoder.GetFrame(buffer.data(), static_cast<int32_t>(buffer.size() - 1)), 0);
    EXPECT_NE(decoder.GetFrame(nullptr, static_cast<int32_t>(buffer.size())), 0);
    const auto pictures = dectest::FetchAll(decoder);
    ASSERT_EQ(pictures.size(), 3u);
    ExpectPicturesMatch(pictures, stream, 0);
}

TEST_F(PluginBehaviour, InvalidHandlesAndArgumentsAreRefused) {
    int32_t w = 7, h = 7, f = 7;
    uint8_t byte = 0;
    const uint8_t startCode[] = {0, 0, 1, 0xB6, 0x10};
    for (int32_t handle : {0, -1, 12345, 0x7FFFFFFF}) {
        EXPECT_NE(Api().GetFrameInfo(handle, &w, &h, &f), 0) << handle;
        EXPECT_EQ(w, 0);
        EXPECT_NE(Api().SetBytes(handle, startCode, sizeof startCode, 1, 0, 1), 0);
        EXPECT_NE(Api().GetFrame(handle, &byte, 1), 0);
        EXPECT_LT(Api().GetDecType2(handle), 0);
        Api().ReleaseDecoder(handle);  // must be harmless
    }
    EXPECT_EQ(Api().GetDecoder(0), 0);
    EXPECT_EQ(Api().GetDecoder(401), 0);

    const int32_t handle = Api().GetDecoder(decoder_abi::kCodecMpeg4);
    ASSERT_NE(handle, 0);
    EXPECT_NE(Api().SetBytes(handle, nullptr, 10, 1, 0, 1), 0);
    EXPECT_NE(Api().SetBytes(handle, startCode, 0, 1, 0, 1), 0);
    EXPECT_NE(Api().SetBytes(handle, startCode, -5, 1, 0, 1), 0);
    EXPECT_NE(Api().GetFrameInfo(handle, nullptr, &h, &f), 0);
    EXPECT_NE(Api().SetParams(handle, 999, 1), 0);
    // Nothing given yet: no picture, and the outputs say so.
    EXPECT_NE(Api().GetFrameInfo(handle, &w, &h, &f), 0);
    EXPECT_EQ(w, 0);
    Api().ReleaseDecoder(handle);
    // A released handle stays dead even when its slot is reused.
    const int32_t next = Api().GetDecoder(decoder_abi::kCodecAvc);
    ASSERT_NE(next, 0);
    EXPECT_NE(next, handle);
    EXPECT_LT(Api().GetDecType2(handle), 0);
    EXPECT_EQ(Api().GetDecType2(next), decoder_abi::kCodecAvc);
    Api().ReleaseDecoder(next);
}

// Captures what the process writes to its stderr while it lives.
class StderrCapture {
public:
    StderrCapture() : file_(std::tmpfile()), saved_(::dup(2)) {
        std::fflush(stderr);
        if (file_ != nullptr) ::dup2(::fileno(file_), 2);
    }
    ~StderrCapture() {
        Restore();
        if (file_ != nullptr) std::fclose(file_);
    }
    std::string Finish() {
        Restore();
        std::string text;
        if (file_ == nullptr) return "(no capture file)";
        std::rewind(file_);
        char chunk[512];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file_)) > 0;) text.append(chunk, n);
        return text;
    }

private:
    void Restore() {
        std::fflush(stderr);
        if (saved_ >= 0) {
            ::dup2(saved_, 2);
            ::close(saved_);
            saved_ = -1;
        }
    }
    std::FILE* file_;
    int saved_;
};

// libavcodec complains loudly about damaged streams (at its default level it
// prints to stderr); none of that may reach the host's stderr through the plug-in.
TEST_F(PluginBehaviour, DamagedStreamsWriteNothingToStderr) {
    std::vector<std::pair<int32_t, std::vector<uint8_t>>> inputs;
    for (const char* encoder : {"mpeg4", "libx264"}) {
        if (!dectest::EncoderAvailable(encoder)) continue;
        const EncodedStream& stream = Stream(EncodeSettings{encoder, 320, 240, 12, 100, 0});
        ASSERT_TRUE(stream.ok);
        auto block = dectest::Block(stream, 0, 12);
        for (size_t i = 30; i < block.size(); i += 37) block[i] ^= 0x5A;
        inputs.emplace_back(KindOf(encoder), block);
        auto cut = dectest::Block(stream, 0, 12);
        cut.resize(cut.size() / 3);
        inputs.emplace_back(KindOf(encoder), cut);
    }
    // An SEI that announces more than it carries, and slices of nothing.
    inputs.push_back({MPEG4Decoder::kKindAvc, {0, 0, 0, 1, 0x06, 0x66, 0xFF, 0xFF, 0x58, 0x01, 0x02, 0x80}});
    inputs.push_back({MPEG4Decoder::kKindAvc, {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x21, 0xA0, 0, 0, 0, 1, 0x41, 0x9A}});
    inputs.push_back({MPEG4Decoder::kKindMpeg4, {0, 0, 1, 0xB6, 0x7F, 0xFF, 0x12, 0x34, 0, 0, 1, 0xB6, 0x55}});
    ASSERT_GE(inputs.size(), 3u);

    av_log_set_level(AV_LOG_DEBUG);
    StderrCapture capture;
    for (auto& [kind, bytes] : inputs) {
        MPEG4Decoder decoder(dectest::PluginApi());
        if (!decoder.SetCodec(kind)) continue;
        decoder.SetBytes(bytes.data(), static_cast<int32_t>(bytes.size()), kReserved, 1, 1);
        int32_t w = 0, h = 0, f = 0;
        std::vector<uint8_t> picture;
        for (int n = 0; n < 50 && decoder.GetFrameInfo(w, h, f) == 0; ++n) {
            picture.resize(static_cast<size_t>(w) * h * 2);
            if (decoder.GetFrame(picture.data(), static_cast<int32_t>(picture.size())) != 0) break;
        }
    }
    const std::string written = capture.Finish();
    av_log_set_level(AV_LOG_QUIET);
    EXPECT_EQ(written, "");
}

std::vector<uint8_t> ReadSourceFile(const std::string& relative) {
    std::FILE* file = std::fopen((std::string(ORV_SOURCE_DIR) + "/" + relative).c_str(), "rb");
    std::vector<uint8_t> bytes;
    if (file == nullptr) return bytes;
    for (int c; (c = std::fgetc(file)) != EOF;) bytes.push_back(static_cast<uint8_t>(c));
    std::fclose(file);
    return bytes;
}

// Inputs in the fuzz target's layout (control byte, cut, chunk) that once left a
// handle unable to decode the good block fed after them: each must cost itself only.
TEST_F(PluginBehaviour, DamagedStreamHeadersDoNotSpoilTheNextGoodBlock) {
    for (const char* name : {"regression_mpeg4_damaged_vol"}) {
        const auto input = ReadSourceFile(std::string("decoder/corpus/") + name);
        ASSERT_GT(input.size(), 2u) << name;
        const uint8_t control = input[0];
        const int32_t codec = (control & 1) ? decoder_abi::kCodecAvc : decoder_abi::kCodecMpeg4;
        const auto goodSeed = ReadSourceFile(codec == decoder_abi::kCodecAvc ? "decoder/corpus/avc_ip"
                                                                              : "decoder/corpus/mpeg4_ip");
        ASSERT_GT(goodSeed.size(), 2u);
        const std::vector<uint8_t> good(goodSeed.begin() + 2, goodSeed.end());
        const int32_t handle = Api().GetDecoder(codec);
        ASSERT_NE(handle, 0);
        const size_t length = input.size() - 2;
        const size_t cut = input[1] % (length + 1);
        const size_t pieces[2][2] = {{0, cut}, {cut, length - cut}};
        std::vector<uint8_t> picture(1 << 20);
        int32_t w = 0, h = 0, f = 0;
        for (const auto& piece : pieces) {
            if (Api().SetBytes(handle, input.data() + 2 + piece[0], static_cast<int32_t>(piece[1]), 1,
                               (control >> 3) & 1, (control >> 4) & 1) != 0) {
                continue;
            }
            for (int n = 0; n < 64 && Api().GetFrameInfo(handle, &w, &h, &f) == 0; ++n) {
                if (Api().GetFrame(handle, picture.data(), static_cast<int32_t>(picture.size())) != 0) break;
            }
        }
        ASSERT_EQ(Api().SetBytes(handle, good.data(), static_cast<int32_t>(good.size()), 1, 0, 1), 0) << name;
        int pictures = 0;
        for (int n = 0; n < 64 && Api().GetFrameInfo(handle, &w, &h, &f) == 0; ++n) {
            if (Api().GetFrame(handle, picture.data(), static_cast<int32_t>(picture.size())) != 0) break;
            ++pictures;
        }
        EXPECT_GT(pictures, 0) << name;
        Api().ReleaseDecoder(handle);
    }
}

struct GarbageCase {
    const char* name;
    int32_t codec;
    std::vector<uint8_t> prefix;
};

void PrintTo(const GarbageCase& c, std::ostream* os) { *os << c.name; }

class PluginGarbage : public PluginBehaviour, public ::testing::WithParamInterface<GarbageCase> {};

// Random bytes: refused outright without a start code; with one, accepted but
// yielding errors or nothing, never a crash, and always within a bounded number of calls.
TEST_P(PluginGarbage, RandomBytesGiveErrorsNotCrashes) {
    const int32_t handle = Api().GetDecoder(GetParam().codec);
    ASSERT_NE(handle, 0);
    uint32_t state = 99;
    std::vector<uint8_t> picture(1 << 20);
    for (int round = 0; round < 40; ++round) {
        std::vector<uint8_t> data = GetParam().prefix;
        const size_t length = 16 + round * 97;
        for (size_t i = 0; i < length; ++i) {
            state = state * 1664525u + 1013904223u;
            uint8_t b = static_cast<uint8_t>(state >> 24);
            if (GetParam().prefix.empty() && b < 2) b = 0x55;  // keep start codes out
            data.push_back(b);
        }
        const int32_t status = Api().SetBytes(handle, data.data(), static_cast<int32_t>(data.size()), 1, round & 1, 1);
        if (GetParam().prefix.empty()) {
            EXPECT_NE(status, 0);
        }
        int32_t w = 0, h = 0, f = 0;
        for (int n = 0; n < 50 && Api().GetFrameInfo(handle, &w, &h, &f) == 0; ++n) {
            const size_t bytes = static_cast<size_t>(w) * h * (f == 1 ? 1 : 2);
            if (bytes > picture.size()) picture.resize(bytes);
            if (Api().GetFrame(handle, picture.data(), static_cast<int32_t>(picture.size())) != 0) break;
        }
        EXPECT_NE(Api().GetFrameInfo(handle, &w, &h, &f), 0) << "decoder never ran dry";
    }
    Api().ReleaseDecoder(handle);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, PluginGarbage,
    ::testing::Values(GarbageCase{"Mpeg4NoStartCode", decoder_abi::kCodecMpeg4, {}},
                      GarbageCase{"AvcNoStartCode", decoder_abi::kCodecAvc, {}},
                      GarbageCase{"Mpeg4Vop", decoder_abi::kCodecMpeg4, {0, 0, 1, 0xB6}},
                      GarbageCase{"Mpeg4Vol", decoder_abi::kCodecMpeg4, {0, 0, 1, 0x20, 0, 0, 1, 0xB6}},
                      GarbageCase{"AvcIdr", decoder_abi::kCodecAvc, {0, 0, 0, 1, 0x65, 0x88}},
                      GarbageCase{"AvcSps", decoder_abi::kCodecAvc, {0, 0, 0, 1, 0x67, 0x42, 0, 0x1E}}),
    [](const auto& info) { return std::string(info.param.name); });

// Two handles used alternately from one thread keep separate streams.
TEST_F(PluginBehaviour, InterleavedHandlesKeepTheirOwnState) {
    EncodeSettings small;
    small.gop = 100;
    small.frames = 10;
    EncodeSettings large = small;
    large.width = 320;
    large.height = 240;
    const EncodedStream& a = Stream(small);
    const EncodedStream& b = Stream(large);
    ASSERT_TRUE(a.ok && b.ok);
    MPEG4Decoder da(dectest::PluginApi());
    MPEG4Decoder db(dectest::PluginApi());
    ASSERT_TRUE(da.SetCodec(MPEG4Decoder::kKindMpeg4));
    ASSERT_TRUE(db.SetCodec(MPEG4Decoder::kKindMpeg4));
    for (size_t first = 0; first < 10; first += 2) {
        const auto blockA = dectest::Block(a, first, 2);
        const auto blockB = dectest::Block(b, first, 2);
        ASSERT_EQ(da.SetBytes(blockA.data(), static_cast<int32_t>(blockA.size()), 1, 0, 0), 0);
        ASSERT_EQ(db.SetBytes(blockB.data(), static_cast<int32_t>(blockB.size()), 1, 0, 0), 0);
        const auto pa = dectest::FetchAll(da);
        const auto pb = dectest::FetchAll(db);
        ASSERT_EQ(pa.size(), 2u);
        ASSERT_EQ(pb.size(), 2u);
        ExpectPicturesMatch(pa, a, first);
        ExpectPicturesMatch(pb, b, first);
    }
}

TEST_F(PluginBehaviour, HandlesDecodeIndependentlyAcrossThreads) {
    constexpr int kThreads = 4;
    std::vector<EncodeSettings> settings(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        settings[t].encoder = (t % 2 == 0 || !dectest::EncoderAvailable("libx264")) ? "mpeg4" : "libx264";
        settings[t].width = 160 + 32 * t;
        settings[t].height = 128 + 16 * t;
        settings[t].frames = 20;
        settings[t].gop = 100;
    }
    std::vector<const EncodedStream*> streams;
    for (const auto& s : settings) {
        streams.push_back(&Stream(s));
        ASSERT_TRUE(streams.back()->ok);
    }
    std::atomic<int> badPictures{0};
    std::atomic<int> pictures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const EncodedStream& stream = *streams[t];
            MPEG4Decoder decoder(dectest::PluginApi());
            for (int repeat = 0; repeat < 3; ++repeat) {
                if (!decoder.SetCodec(KindOf(settings[t].encoder))) return;
                for (size_t first = 0; first < 20; first += 4) {
                    const auto block = dectest::Block(stream, first, 4);
                    decoder.SetBytes(block.data(), static_cast<int32_t>(block.size()), 1, 0, 1);
                    const auto got = dectest::FetchAll(decoder);
                    for (size_t i = 0; i < got.size(); ++i) {
                        ++pictures;
                        if (got[i].width != settings[t].width ||
                            dectest::Psnr(stream.pictures[first + i], got[i].data, false) < kMinPsnr)
                            ++badPictures;
                    }
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(pictures.load(), kThreads * 3 * 20);
    EXPECT_EQ(badPictures.load(), 0);
}

TEST_F(PluginBehaviour, GreyAvcStreamIsDeliveredAsGrey) {
    if (!dectest::EncoderAvailable("libx264")) GTEST_SKIP() << "libx264 missing";
    EncodeSettings s;
    s.encoder = "libx264";
    s.grey = true;
    const EncodedStream& stream = Stream(s);
    ASSERT_TRUE(stream.ok);
    MPEG4Decoder decoder(dectest::PluginApi());
    ASSERT_TRUE(decoder.SetCodec(MPEG4Decoder::kKindAvc));
    const auto block = dectest::Block(stream, 0, 10);
    ASSERT_EQ(decoder.SetBytes(block.data(), static_cast<int32_t>(block.size()), 1, 0, 1), 0);
    const auto pictures = dectest::FetchAll(decoder);
    ASSERT_EQ(pictures.size(), 10u);
    ExpectPicturesMatch(pictures, stream, 0, true);
}

// The level-2 calls: one picture per chunk without splitting, and GetFrame2
// reporting the size together with the picture.
TEST_F(PluginBehaviour, UnsplitChunksAndGetFrame2) {
    const EncodedStream& stream = Stream(EncodeSettings{});
    ASSERT_TRUE(stream.ok);
    const int32_t handle = Api().GetDecoder(decoder_abi::kCodecMpeg4);
    ASSERT_NE(handle, 0);
    EXPECT_EQ(Api().GetDecType2(handle), decoder_abi::kCodecMpeg4);
    ASSERT_EQ(Api().SetParser2(handle, 0), 0);
    std::vector<uint8_t> buffer(176 * 144 * 2);
    for (size_t i = 0; i < stream.packets.size(); ++i) {
        const auto& packet = stream.packets[i];
        ASSERT_EQ(Api().SetBytes(handle, packet.data(), static_cast<int32_t>(packet.size()), 1, 0, 0), 0);
        int32_t w = 0, h = 0, f = 0;
        EXPECT_NE(Api().GetFrame2(handle, buffer.data(), 100, &w, &h, &f), 0) << "buffer of 100 bytes accepted";
        EXPECT_EQ(w, 176);  // the size is reported anyway
        ASSERT_EQ(Api().GetFrame2(handle, buffer.data(), static_cast<int32_t>(buffer.size()), &w, &h, &f), 0);
        EXPECT_EQ(h, 144);
        EXPECT_GT(dectest::Psnr(stream.pictures[i], buffer, false), kMinPsnr) << i;
    }
    Api().ReleaseDecoder(handle);
}

}  // namespace
