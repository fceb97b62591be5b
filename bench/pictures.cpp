// Picture work at 1920x1080 beside the library a user would otherwise pick:
// TurboJPEG's direct BGR decode for the JPEG path, libyuv for the pixel
// conversions, and memcpy of the same bytes for bandwidth.  Every benchmark
// reports bytes_per_second over the bytes it writes.
//
// `bench_pictures --table [rounds]` instead prints the JPEG table: 720p, 1080p and
// 2160p in 4:2:0, 4:2:2, 4:4:4 and grey, our archive and live BGR paths beside
// tjDecompress2 to BGR (with TurboJPEG's planar decode alone beside it: what our
// paths build on, so the floor of their ratio), and our native and grey requests
// beside TurboJPEG's planar decode plus the one conversion each needs.  The variants of a picture
// are timed in alternating rounds; every cell is a median over the rounds, every
// ratio the median of the per-round ratios.
#include <benchmark/benchmark.h>
#include <libyuv.h>
#include <turbojpeg.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
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

std::vector<uint8_t> CameraLikeBgr(int w, int h) {
    std::mt19937 rng(7);
    std::vector<uint8_t> bgr(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &bgr[(static_cast<size_t>(y) * w + x) * 3];
            p[0] = static_cast<uint8_t>(x * 255 / w);
            p[1] = static_cast<uint8_t>(y * 255 / h);
            p[2] = static_cast<uint8_t>(((x / 32 + y / 32) % 2) * 160 + rng() % 24);
        }
    }
    return bgr;
}

std::vector<uint8_t> EncodeJpeg(const std::vector<uint8_t>& bgr, int w, int h, int subsampling) {
    tjhandle handle = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(handle, bgr.data(), w, 0, h, TJPF_BGR, &out, &size, subsampling, 85, 0) != 0) {
        throw std::runtime_error("encode");
    }
    std::vector<uint8_t> v(out, out + size);
    tjFree(out);
    tjDestroy(handle);
    return v;
}

const std::vector<uint8_t>& Bgr() {
    static const std::vector<uint8_t> bgr = CameraLikeBgr();
    return bgr;
}

const std::vector<uint8_t>& Jpeg420() {
    static const std::vector<uint8_t> jpeg = [] {
        return EncodeJpeg(Bgr(), kW, kH, TJSAMP_420);
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
    platform::RawBuffer output;
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

// --- the JPEG table ------------------------------------------------------------

double ThreadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// TurboJPEG's planar decode into planes laid out as ours are, then the one
// conversion a request needs: the reference for the native and grey requests.
struct TurboPlanar {
    tjhandle handle = tjInitDecompress();
    std::vector<uint8_t> storage;
    unsigned char* planes[3] = {nullptr, nullptr, nullptr};
    int strides[3] = {0, 0, 0};
    processing::PlanarPicture picture{};
    TurboPlanar(int w, int h, int subsampling) {
        const int planeCount = subsampling == TJSAMP_GRAY ? 1 : 3;
        size_t offsets[3] = {0, 0, 0};
        size_t total = 0;
        for (int i = 0; i < planeCount; ++i) {
            strides[i] = (tjPlaneWidth(i, w, subsampling) + 31) / 32 * 32;
            offsets[i] = total;
            total += static_cast<size_t>(strides[i]) * static_cast<size_t>(tjPlaneHeight(i, h, subsampling));
        }
        storage.resize(total);
        for (int i = 0; i < planeCount; ++i) {
            planes[i] = storage.data() + offsets[i];
            picture.planes[i] = planes[i];
            picture.strides[i] = strides[i];
        }
        picture.width = w;
        picture.height = h;
        picture.hShift = tjMCUWidth[subsampling] / 16;
        picture.vShift = tjMCUHeight[subsampling] / 16;
    }
    ~TurboPlanar() { tjDestroy(handle); }
    TurboPlanar(const TurboPlanar&) = delete;
    TurboPlanar& operator=(const TurboPlanar&) = delete;
    bool Decode(const std::vector<uint8_t>& jpeg) {
        return tjDecompressToYUVPlanes(handle, jpeg.data(), static_cast<unsigned long>(jpeg.size()), planes,
                                       picture.width, strides, picture.height, 0) == 0;
    }
};

const char* SubsamplingName(int subsampling) {
    switch (subsampling) {
        case TJSAMP_420:
            return "4:2:0";
        case TJSAMP_422:
            return "4:2:2";
        case TJSAMP_444:
            return "4:4:4";
        default:
            return "grey";
    }
}

struct Variant {
    std::string name;
    std::function<bool()> run;  // one decode; false when it failed
};

// Times each variant in turn, `rounds` times over; per round about 25 ms of each.
std::vector<std::vector<double>> Alternate(std::vector<Variant>& variants, int rounds, int perSlot) {
    std::vector<std::vector<double>> ms(variants.size());
    for (int r = 0; r < rounds; ++r) {
        for (size_t i = 0; i < variants.size(); ++i) {
            const double start = ThreadCpuNs();
            for (int k = 0; k < perSlot; ++k) {
                if (!variants[i].run()) {
                    std::fprintf(stderr, "%s failed\n", variants[i].name.c_str());
                    std::exit(1);
                }
            }
            ms[i].push_back((ThreadCpuNs() - start) / perSlot / 1e6);
        }
    }
    return ms;
}

double MedianRatio(const std::vector<double>& ours, const std::vector<double>& reference) {
    std::vector<double> ratios;
    for (size_t r = 0; r < ours.size(); ++r) {
        ratios.push_back(ours[r] / reference[r]);
    }
    return Median(ratios);
}

int JpegTable(int rounds) {
    struct Size {
        int w, h;
    };
    std::printf("| Picture | Subsampling | archive BGR | live BGR | tjDecompress2 BGR | archive / tj | live / tj "
                "| planar decode alone / tj | native (YUYV or grey) / planar + packing | grey / planar + luma copy "
                "|\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Size size : {Size{1280, 720}, Size{1920, 1080}, Size{3840, 2160}}) {
        const int w = size.w, h = size.h;
        const std::vector<uint8_t> bgr = CameraLikeBgr(w, h);
        for (const int subsampling : {TJSAMP_420, TJSAMP_422, TJSAMP_444, TJSAMP_GRAY}) {
            const std::vector<uint8_t> jpeg = EncodeJpeg(bgr, w, h, subsampling);
            const size_t pixels = static_cast<size_t>(w) * h;
            const bool colour = subsampling != TJSAMP_GRAY;
            processing::JpegDecodeContext archive, live;
            processing::PictureWorkspace archiveWs, liveWs;
            CameraFrameState camera;
            TOrvFrame archiveFrame, liveFrame, nativeFrame, greyFrame;
            int id = 0;
            tjhandle turbo = tjInitDecompress();
            std::vector<uint8_t> turboOut(pixels * 3), refNative(colour ? pixels * 2 : pixels), refGrey(pixels);
            TurboPlanar planar(w, h, subsampling);
            std::vector<Variant> variants = {
                {"archive", [&] {
                     return processing::ConvertArchiveJpeg(archive, archiveWs, jpeg, {}, processing::kRequestBgr,
                                                           archiveFrame) &&
                            archiveFrame.data.size() == pixels * 3;
                 }},
                {"live", [&] {
                     return processing::ConvertLiveJpeg(live, liveWs, camera, ++id, 0.0, jpeg, {},
                                                        processing::kRequestBgr, liveFrame) &&
                            liveFrame.data.size() == pixels * 3;
                 }},
                {"tjDecompress2", [&] {
                     return tjDecompress2(turbo, jpeg.data(), static_cast<unsigned long>(jpeg.size()),
                                          turboOut.data(), w, 0, h, TJPF_BGR, 0) == 0;
                 }},
                {"native", [&] {
                     return processing::ConvertArchiveJpeg(archive, archiveWs, jpeg, {}, processing::kRequestNative,
                                                           nativeFrame) &&
                            nativeFrame.data.size() == refNative.size();
                 }},
                {"planar+packing", [&] {
                     if (!planar.Decode(jpeg)) return false;
                     if (colour) processing::PlanarToYuyv(planar.picture, refNative.data());
                     return true;
                 }},
                {"grey", [&] {
                     return processing::ConvertArchiveJpeg(archive, archiveWs, jpeg, {}, processing::kRequestGrey,
                                                           greyFrame) &&
                            greyFrame.data.size() == pixels;
                 }},
                {"planar", [&] { return planar.Decode(jpeg); }},
                {"planar+luma", [&] {
                     if (!planar.Decode(jpeg)) return false;
                     for (int y = 0; y < h; ++y) {
                         std::memcpy(refGrey.data() + static_cast<size_t>(w) * y,
                                     planar.planes[0] + static_cast<size_t>(planar.strides[0]) * y,
                                     static_cast<size_t>(w));
                     }
                     return true;
                 }},
            };
            // About 25 ms per slot: one decode costs roughly 2.5 ns per pixel.
            const int perSlot = std::max(1, static_cast<int>(25e6 / (2.5 * static_cast<double>(pixels))));
            Alternate(variants, 1, perSlot);  // warm-up: buffers grown, caches filled
            const auto ms = Alternate(variants, rounds, perSlot);
            // The bytes must agree with the references before the times mean anything.
            const bool same = archiveFrame.data == liveFrame.data && (!colour || nativeFrame.data == refNative) &&
                              greyFrame.data == refGrey;
            std::printf("| %dx%d | %s | %.2f ms | %.2f ms | %.2f ms | %.2f | %.2f | %.2f | %.2f | %.2f |%s\n", w, h,
                        SubsamplingName(subsampling), Median(ms[0]), Median(ms[1]), Median(ms[2]),
                        MedianRatio(ms[0], ms[2]), MedianRatio(ms[1], ms[2]), MedianRatio(ms[6], ms[2]),
                        MedianRatio(ms[3], ms[4]), MedianRatio(ms[5], ms[7]), same ? "" : " BYTES DIFFER");
            std::fflush(stdout);
            tjDestroy(turbo);
        }
    }
    return 0;
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

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--table") == 0) {
        return JpegTable(argc > 2 ? std::max(1, std::atoi(argv[2])) : 9);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
