// What decoding in strips would gain: TurboJPEG's API decodes a whole picture
// into planes before we can convert it, so the planes (3 MB at 1080p 4:2:0, and
// for 1080p a second copy through TurboJPEG's own row buffer) make a round trip
// through memory.  The codec underneath can hand out one MCU row at a time; this
// converts each strip while it is still in the first-level cache, and puts the
// result beside our library path and tjDecompress2, alternating, with the bytes
// compared.  A measurement for choosing the decode route, not library code.
//
//   bench_jpeg_strips [rounds]
// jpeglib.h needs size_t and FILE declared first.
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>
#include <setjmp.h>
#include <time.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <vector>

#include "video/JpegConvert.h"
#include "video/PixelConvert.h"

namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

void ErrorExit(j_common_ptr info) {
    longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

void NoMessage(j_common_ptr) {}

// One decompressor reused from picture to picture; strip buffers grow once.
class StripDecoder {
  public:
    StripDecoder() {
        info_.err = jpeg_std_error(&errors_.pub);
        errors_.pub.error_exit = ErrorExit;
        errors_.pub.output_message = NoMessage;
        jpeg_create_decompress(&info_);
    }
    ~StripDecoder() { jpeg_destroy_decompress(&info_); }
    StripDecoder(const StripDecoder&) = delete;
    StripDecoder& operator=(const StripDecoder&) = delete;

    // 4:2:0, 4:2:2 and 4:4:4 colour pictures to BGR; false on any error.
    bool DecodeToBgr(const std::vector<uint8_t>& jpeg, uint8_t* bgr) {
        if (setjmp(errors_.jump) != 0) {
            jpeg_abort_decompress(&info_);
            return false;
        }
        jpeg_mem_src(&info_, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
        jpeg_read_header(&info_, TRUE);
        if (info_.num_components != 3) {
            jpeg_abort_decompress(&info_);
            return false;
        }
        info_.raw_data_out = TRUE;
        info_.dct_method = JDCT_ISLOW;
        jpeg_start_decompress(&info_);
        const int rowsPerStrip = info_.max_v_samp_factor * DCTSIZE;
        JSAMPROW rows[3][2 * DCTSIZE];
        JSAMPARRAY planes[3];
        int strides[3];
        for (int c = 0; c < 3; ++c) {
            const jpeg_component_info& comp = info_.comp_info[c];
            strides[c] = static_cast<int>(comp.width_in_blocks) * DCTSIZE;
            const int stripRows = comp.v_samp_factor * DCTSIZE;
            strip_[c].resize(static_cast<size_t>(strides[c]) * stripRows);
            for (int r = 0; r < stripRows; ++r) {
                rows[c][r] = strip_[c].data() + static_cast<size_t>(strides[c]) * r;
            }
            planes[c] = rows[c];
        }
        const int w = static_cast<int>(info_.output_width), h = static_cast<int>(info_.output_height);
        processing::PlanarPicture picture{};
        picture.width = w;
        picture.hShift = info_.max_h_samp_factor / info_.comp_info[1].h_samp_factor == 2 ? 1 : 0;
        picture.vShift = info_.max_v_samp_factor / info_.comp_info[1].v_samp_factor == 2 ? 1 : 0;
        for (int c = 0; c < 3; ++c) {
            picture.planes[c] = strip_[c].data();
            picture.strides[c] = strides[c];
        }
        for (int y = 0; y < h; y += rowsPerStrip) {
            jpeg_read_raw_data(&info_, planes, static_cast<JDIMENSION>(rowsPerStrip));
            picture.height = std::min(rowsPerStrip, h - y);
            processing::PlanarToBgr(picture, bgr + static_cast<size_t>(y) * w * 3);
        }
        jpeg_finish_decompress(&info_);
        return true;
    }

  private:
    jpeg_decompress_struct info_{};
    ErrorManager errors_{};
    std::vector<uint8_t> strip_[3];
};

std::vector<uint8_t> CameraLikeJpeg(int w, int h, int subsampling) {
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
    tjhandle handle = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(handle, bgr.data(), w, 0, h, TJPF_BGR, &out, &size, subsampling, 85, 0) != 0) {
        throw std::runtime_error("encode");
    }
    std::vector<uint8_t> jpeg(out, out + size);
    tjFree(out);
    tjDestroy(handle);
    return jpeg;
}

double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    std::printf("| Picture | Subsampling | library path | strips | tjDecompress2 | library / tj | strips / tj |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    struct Case {
        int w, h, subsampling;
        const char* name;
    };
    for (const Case c : {Case{1280, 720, TJSAMP_420, "4:2:0"}, Case{1920, 1080, TJSAMP_420, "4:2:0"},
                         Case{1920, 1080, TJSAMP_422, "4:2:2"}, Case{1920, 1080, TJSAMP_444, "4:4:4"},
                         Case{3840, 2160, TJSAMP_420, "4:2:0"}}) {
        const std::vector<uint8_t> jpeg = CameraLikeJpeg(c.w, c.h, c.subsampling);
        const size_t bytes = static_cast<size_t>(c.w) * c.h * 3;
        processing::JpegDecodeContext context;
        processing::PictureWorkspace workspace;
        TOrvFrame frame;
        StripDecoder strips;
        std::vector<uint8_t> stripOut(bytes), turboOut(bytes);
        tjhandle turbo = tjInitDecompress();
        const int perSlot = std::max(1, static_cast<int>(25e6 / (2.5 * static_cast<double>(c.w) * c.h)));
        std::vector<double> ours, strip, tj;
        for (int r = 0; r <= rounds; ++r) {  // round 0 warms up
            double start = ThreadCpuMs();
            for (int k = 0; k < perSlot; ++k) {
                processing::ConvertArchiveJpeg(context, workspace, jpeg, {}, processing::kRequestBgr, frame);
            }
            const double a = (ThreadCpuMs() - start) / perSlot;
            start = ThreadCpuMs();
            for (int k = 0; k < perSlot; ++k) {
                if (!strips.DecodeToBgr(jpeg, stripOut.data())) return 1;
            }
            const double b = (ThreadCpuMs() - start) / perSlot;
            start = ThreadCpuMs();
            for (int k = 0; k < perSlot; ++k) {
                tjDecompress2(turbo, jpeg.data(), static_cast<unsigned long>(jpeg.size()), turboOut.data(), c.w, 0,
                              c.h, TJPF_BGR, 0);
            }
            const double t = (ThreadCpuMs() - start) / perSlot;
            if (r > 0) {
                ours.push_back(a);
                strip.push_back(b);
                tj.push_back(t);
            }
        }
        tjDestroy(turbo);
        std::vector<double> ro, rs;
        for (size_t i = 0; i < tj.size(); ++i) {
            ro.push_back(ours[i] / tj[i]);
            rs.push_back(strip[i] / tj[i]);
        }
        std::printf("| %dx%d | %s | %.2f ms | %.2f ms | %.2f ms | %.2f | %.2f |%s\n", c.w, c.h, c.name, Median(ours),
                    Median(strip), Median(tj), Median(ro), Median(rs),
                    frame.data == stripOut ? "" : " BYTES DIFFER");
        std::fflush(stdout);
    }
    return 0;
}
