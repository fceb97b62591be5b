// Picture work at 1920x1080 beside the library a user would otherwise pick:
// TurboJPEG's direct BGR decode for the JPEG path, libyuv for the pixel
// conversions, and memcpy of the same bytes for bandwidth.  Every benchmark
// reports bytes_per_second over the bytes it writes.
#include <benchmark/benchmark.h>
#include <libyuv.h>
#include <turbojpeg.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "video/JpegConvert.h"
#include "video/JpegEncoder.h"
#include "video/PixelConvert.h"

namespace {

constexpr int kW = 1920, kH = 1080;
constexpr size_t kPixels = static_cast<size_t>(kW) * kH;

std::vector<uint8_t> CameraLikeBgr() {
    std::mt19937 rng(7);
    std::vector<uint8_t> bgr(kPixels * 3);
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            uint8_t* p = &bgr[(static_cast<size_t>(y) * kW + x) * 3];
            p[0] = static_cast<uint8_t>(x * 255 / kW);
            p[1] = static_cast<uint8_t>(y * 255 / kH);
            p[2] = static_cast<uint8_t>(((x / 32 + y / 32) % 2) * 160 + rng() % 24);
        }
    }
    return bgr;
}

const std::vector<uint8_t>& Bgr() {
    static const std::vector<uint8_t> bgr = CameraLikeBgr();
    return bgr;
}

const std::vector<uint8_t>& Jpeg420() {
    static const std::vector<uint8_t> jpeg = [] {
        tjhandle h = tjInitCompress();
        unsigned char* out = nullptr;
        unsigned long size = 0;
        if (tjCompress2(h, Bgr().data(), kW, 0, kH, TJPF_BGR, &out, &size, TJSAMP_420, 85, 0) != 0) {
            throw std::runtime_error("encode");
        }
        std::vector<uint8_t> v(out, out + size);
        tjFree(out);
        tjDestroy(h);
        return v;
    }();
    return jpeg;
}

const std::vector<uint8_t>& Yuyv() {
    static const std::vector<uint8_t> yuyv = [] {
        std::vector<uint8_t> v(kPixels * 2);
        processing::BgrToYuyv(Bgr().data(), v.data(), kW, kH);
        return v;
    }();
    return yuyv;
}

void Bytes(benchmark::State& state, size_t perIteration) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(perIteration));
}

// --- JPEG 4:2:0 to Bgr24 -----------------------------------------------------

void BM_JpegToBgr_Ours(benchmark::State& state) {
    processing::JpegDecodeContext context;
    processing::PictureWorkspace workspace;
    TOrvFrame frame;
    for (auto _ : state) {
        if (!processing::ConvertArchiveJpeg(context, workspace, Jpeg420(), {}, processing::kRequestBgr,
                                            frame) ||
            frame.data.size() != kPixels * 3) {
            state.SkipWithError("conversion failed");
        }
        benchmark::DoNotOptimize(frame.data.data());
    }
    Bytes(state, kPixels * 3);
}

void BM_JpegToBgr_LiveOurs(benchmark::State& state) {
    processing::JpegDecodeContext context;
    processing::PictureWorkspace workspace;
    CameraFrameState camera;
    TOrvFrame frame;
    int id = 0;
    for (auto _ : state) {
        processing::ConvertLiveJpeg(context, workspace, camera, ++id, 0.0, Jpeg420(), {},
                                    processing::kRequestBgr, frame);
        benchmark::DoNotOptimize(frame.data.data());
    }
    Bytes(state, kPixels * 3);
}

void BM_JpegToBgr_TurboDirect(benchmark::State& state) {
    tjhandle h = tjInitDecompress();
    std::vector<uint8_t> out(kPixels * 3);
    for (auto _ : state) {
        tjDecompress2(h, Jpeg420().data(), Jpeg420().size(), out.data(), kW, 0, kH, TJPF_BGR, 0);
        benchmark::DoNotOptimize(out.data());
    }
    tjDestroy(h);
    Bytes(state, kPixels * 3);
}

void BM_JpegToYuyv_Ours(benchmark::State& state) {
    processing::JpegDecodeContext context;
    processing::PictureWorkspace workspace;
    TOrvFrame frame;
    for (auto _ : state) {
        processing::ConvertArchiveJpeg(context, workspace, Jpeg420(), {}, processing::kRequestNative, frame);
        benchmark::DoNotOptimize(frame.data.data());
    }
    Bytes(state, kPixels * 2);
}

void BM_JpegToPlanar_TurboDirect(benchmark::State& state) {
    tjhandle h = tjInitDecompress();
    std::vector<uint8_t> out(tjBufSizeYUV2(kW, 4, kH, TJSAMP_420));
    for (auto _ : state) {
        tjDecompressToYUV2(h, Jpeg420().data(), Jpeg420().size(), out.data(), kW, 4, kH, 0);
        benchmark::DoNotOptimize(out.data());
    }
    tjDestroy(h);
    Bytes(state, out.size());
}

// --- pixel conversions --------------------------------------------------------

// The planes of the 4:2:0 picture as our decode leaves them, for the conversions from planes.
struct DecodedPlanes {
    processing::JpegDecodeContext context;
    processing::PlanarPicture picture{};
    DecodedPlanes() {
        std::vector<uint8_t> yuyv(kPixels * 2);
        if (context.DecodeToPacked(Jpeg420().data(), Jpeg420().size(), yuyv.data(), yuyv.size()) != 0) {
            throw std::runtime_error("decode");
        }
        for (int i = 0; i < 3; ++i) {
            picture.planes[i] = context.Plane(i);
            picture.strides[i] = context.Stride(i);
        }
        picture.width = kW;
        picture.height = kH;
        picture.hShift = 1;
        picture.vShift = 1;
    }
};

void BM_PlanarToBgr_Ours(benchmark::State& state) {
    processing::SetVectorPathsEnabled(state.range(0) != 0);
    DecodedPlanes planes;
    std::vector<uint8_t> out(kPixels * 3);
    for (auto _ : state) {
        processing::PlanarToBgr(planes.picture, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    processing::SetVectorPathsEnabled(true);
    Bytes(state, out.size());
}

void BM_PlanarToYuyv_Ours(benchmark::State& state) {
    DecodedPlanes planes;
    std::vector<uint8_t> out(kPixels * 2);
    for (auto _ : state) {
        processing::PlanarToYuyv(planes.picture, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    Bytes(state, out.size());
}

void BM_YuyvToBgr_Ours(benchmark::State& state) {
    processing::SetVectorPathsEnabled(state.range(0) != 0);
    std::vector<uint8_t> out(kPixels * 3);
    for (auto _ : state) {
        processing::YuyvToBgr(Yuyv().data(), out.data(), kW, kH);
        benchmark::DoNotOptimize(out.data());
    }
    processing::SetVectorPathsEnabled(true);
    Bytes(state, out.size());
}

void BM_YuyvToBgr_Libyuv(benchmark::State& state) {
    std::vector<uint8_t> argb(kPixels * 4), out(kPixels * 3);
    for (auto _ : state) {
        libyuv::YUY2ToARGB(Yuyv().data(), kW * 2, argb.data(), kW * 4, kW, kH);
        libyuv::ARGBToRGB24(argb.data(), kW * 4, out.data(), kW * 3, kW, kH);
        benchmark::DoNotOptimize(out.data());
    }
    Bytes(state, out.size());
}

void BM_BgrToYuyv_Ours(benchmark::State& state) {
    processing::SetVectorPathsEnabled(state.range(0) != 0);
    std::vector<uint8_t> out(kPixels * 2);
    for (auto _ : state) {
        processing::BgrToYuyv(Bgr().data(), out.data(), kW, kH);
        benchmark::DoNotOptimize(out.data());
    }
    processing::SetVectorPathsEnabled(true);
    Bytes(state, out.size());
}

void BM_BgrToYuyv_Libyuv(benchmark::State& state) {
    std::vector<uint8_t> argb(kPixels * 4), out(kPixels * 2);
    for (auto _ : state) {
        libyuv::RGB24ToARGB(Bgr().data(), kW * 3, argb.data(), kW * 4, kW, kH);
        libyuv::ARGBToYUY2(argb.data(), kW * 4, out.data(), kW * 2, kW, kH);
        benchmark::DoNotOptimize(out.data());
    }
    Bytes(state, out.size());
}

void BM_BgrToGrey_Ours(benchmark::State& state) {
    processing::SetVectorPathsEnabled(state.range(0) != 0);
    std::vector<uint8_t> out(kPixels);
    for (auto _ : state) {
        processing::BgrToGrey(Bgr().data(), out.data(), kW, kH);
        benchmark::DoNotOptimize(out.data());
    }
    processing::SetVectorPathsEnabled(true);
    Bytes(state, out.size());
}

void BM_BgrToGrey_Libyuv(benchmark::State& state) {
    std::vector<uint8_t> out(kPixels);
    for (auto _ : state) {
        libyuv::RGB24ToJ400(Bgr().data(), kW * 3, out.data(), kW, kW, kH);
        benchmark::DoNotOptimize(out.data());
    }
    Bytes(state, out.size());
}

void BM_BgrToJpeg_Ours(benchmark::State& state) {
    processing::JpegCompressor compressor;
    processing::ByteBuffer output;
    TOrvFrame frame;
    for (auto _ : state) {
        frame.format = Bgr24;
        frame.width = kW;
        frame.height = kH;
        frame.data.assign(Bgr().begin(), Bgr().end());
        processing::EncodeBgrFrameToJpeg(compressor, output, frame, processing::kLiveJpegQuality);
        benchmark::DoNotOptimize(frame.data.data());
    }
    Bytes(state, kPixels * 3);
}

void BM_Memcpy_BgrPicture(benchmark::State& state) {
    std::vector<uint8_t> out(kPixels * 3);
    for (auto _ : state) {
        std::memcpy(out.data(), Bgr().data(), out.size());
        benchmark::DoNotOptimize(out.data());
    }
    Bytes(state, out.size());
}

}  // namespace

BENCHMARK(BM_JpegToBgr_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegToBgr_LiveOurs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegToBgr_TurboDirect)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegToYuyv_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegToPlanar_TurboDirect)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlanarToBgr_Ours)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlanarToYuyv_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_YuyvToBgr_Ours)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_YuyvToBgr_Libyuv)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BgrToYuyv_Ours)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BgrToYuyv_Libyuv)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BgrToGrey_Ours)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BgrToGrey_Libyuv)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BgrToJpeg_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy_BgrPicture)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
