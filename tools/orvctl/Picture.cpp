#include "Picture.h"

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace orvctl {
namespace {

uint8_t Clamp(int value) {
    return static_cast<uint8_t>(std::clamp(value, 0, 255));
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

FilePtr OpenForWriting(const std::string& path) {
    FilePtr file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        throw std::runtime_error("cannot create " + path);
    }
    return file;
}

bool SizesValid(int width, int height) {
    return width > 0 && height > 0 && width <= 65535 && height <= 65535;
}

}  // namespace

PixelLayout DetectLayout(const uint8_t* data, size_t size, int width, int height) {
    if (data && size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF) {
        return PixelLayout::Jpeg;
    }
    if (!data || !SizesValid(width, height)) {
        return PixelLayout::Unknown;
    }
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (size == pixels * 3) {
        return PixelLayout::Bgr;
    }
    if (size == pixels * 2) {
        return PixelLayout::Yuyv;
    }
    if (size == pixels) {
        return PixelLayout::Grey;
    }
    return PixelLayout::Unknown;
}

const char* LayoutName(PixelLayout layout) {
    switch (layout) {
        case PixelLayout::Jpeg:
            return "jpeg";
        case PixelLayout::Bgr:
            return "bgr";
        case PixelLayout::Yuyv:
            return "yuyv";
        case PixelLayout::Grey:
            return "grey";
        case PixelLayout::Unknown:
            break;
    }
    return "unknown";
}

const char* FileExtension(PixelLayout layout) {
    return layout == PixelLayout::Jpeg ? "jpg" : "png";
}

std::vector<uint8_t> YuyvToRgb(const uint8_t* yuyv, int width, int height) {
    const size_t rowBytes = static_cast<size_t>(width) * 2;
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    uint8_t* out = rgb.data();
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = yuyv + static_cast<size_t>(y) * rowBytes;
        for (int x = 0; x < width; ++x) {
            const size_t pair = static_cast<size_t>(x & ~1) * 2;
            const int luma = row[static_cast<size_t>(x) * 2];
            const int u = row[pair + 1] - 128;
            // An odd width leaves the last pixel without its V sample: treat it as neutral.
            const int v = pair + 3 < rowBytes ? row[pair + 3] - 128 : 0;
            *out++ = Clamp(luma + static_cast<int>(1.402 * v));
            *out++ = Clamp(luma - static_cast<int>(0.34414 * u) - static_cast<int>(0.71414 * v));
            *out++ = Clamp(luma + static_cast<int>(1.772 * u));
        }
    }
    return rgb;
}

std::vector<uint8_t> BgrToRgb(const uint8_t* bgr, int width, int height) {
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    std::vector<uint8_t> rgb(pixels * 3);
    for (size_t i = 0; i < pixels; ++i) {
        rgb[i * 3] = bgr[i * 3 + 2];
        rgb[i * 3 + 1] = bgr[i * 3 + 1];
        rgb[i * 3 + 2] = bgr[i * 3];
    }
    return rgb;
}

std::vector<uint8_t> YuyvToGrey(const uint8_t* yuyv, int width, int height) {
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    std::vector<uint8_t> grey(pixels);
    for (size_t i = 0; i < pixels; ++i) {
        grey[i] = yuyv[i * 2];
    }
    return grey;
}

void WritePng(const std::string& path, const uint8_t* pixels, int width, int height, int channels) {
    if (!SizesValid(width, height) || (channels != 1 && channels != 3)) {
        throw std::runtime_error("cannot write " + path + ": bad picture size");
    }
    FilePtr file = OpenForWriting(path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        throw std::runtime_error("cannot write " + path + ": out of memory");
    }
    // libpng reports errors by longjmp; nothing with a destructor lives between here and
    // the calls below.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("cannot write " + path + ": libpng error");
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // Camera pictures: one cheap filter and fast deflate keep a 1080p picture in tens of
    // milliseconds; the adaptive filter search and default level cost several times that.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_set_compression_level(png, 1);
    png_write_info(png, info);
    const size_t stride = static_cast<size_t>(width) * static_cast<size_t>(channels);
    for (int y = 0; y < height; ++y) {
        png_write_row(png, pixels + static_cast<size_t>(y) * stride);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fflush(file.get()) != 0 || std::ferror(file.get())) {
        throw std::runtime_error("cannot write " + path + ": write error");
    }
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FilePtr file = OpenForWriting(path);
    if (size > 0 && std::fwrite(data, 1, size, file.get()) != size) {
        throw std::runtime_error("cannot write " + path + ": write error");
    }
    if (std::fflush(file.get()) != 0) {
        throw std::runtime_error("cannot write " + path + ": write error");
    }
}

void SavePicture(const std::string& path, const uint8_t* data, size_t size, int width, int height,
                 PixelLayout layout, bool asGrey) {
    switch (layout) {
        case PixelLayout::Jpeg:
            WriteFile(path, data, size);
            return;
        case PixelLayout::Grey:
            WritePng(path, data, width, height, 1);
            return;
        case PixelLayout::Bgr:
            WritePng(path, BgrToRgb(data, width, height).data(), width, height, 3);
            return;
        case PixelLayout::Yuyv:
            if (asGrey) {
                WritePng(path, YuyvToGrey(data, width, height).data(), width, height, 1);
            } else {
                WritePng(path, YuyvToRgb(data, width, height).data(), width, height, 3);
            }
            return;
        case PixelLayout::Unknown:
            break;
    }
    throw std::runtime_error("cannot save " + path + ": " + std::to_string(size) + " bytes do not form a " +
                             std::to_string(width) + "x" + std::to_string(height) + " picture");
}

}  // namespace orvctl
