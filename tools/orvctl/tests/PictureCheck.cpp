#include "PictureCheck.h"

#include <png.h>
#include <turbojpeg.h>

#include <cstdio>
#include <fstream>
#include <iterator>

namespace orvctl::test {

bool DecodeJpegFile(const std::string& path, DecodedPicture& picture, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                           std::istreambuf_iterator<char>());
    if (bytes.empty()) {
        error = "empty or missing file " + path;
        return false;
    }
    tjhandle tj = tjInitDecompress();
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colourspace = 0;
    bool ok = tjDecompressHeader3(tj, bytes.data(), static_cast<unsigned long>(bytes.size()), &width, &height,
                                  &subsampling, &colourspace) == 0;
    if (ok) {
        picture.width = width;
        picture.height = height;
        picture.channels = 3;
        picture.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
        ok = tjDecompress2(tj, bytes.data(), static_cast<unsigned long>(bytes.size()), picture.pixels.data(),
                           width, 0, height, TJPF_RGB, 0) == 0;
    }
    if (!ok) {
        error = path + ": " + tjGetErrorStr2(tj);
    }
    tjDestroy(tj);
    return ok;
}

bool DecodePngFile(const std::string& path, DecodedPicture& picture, std::string& error) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        error = path + ": " + image.message;
        return false;
    }
    const bool grey = (image.format & PNG_FORMAT_FLAG_COLOR) == 0;
    image.format = grey ? PNG_FORMAT_GRAY : PNG_FORMAT_RGB;
    picture.width = static_cast<int>(image.width);
    picture.height = static_cast<int>(image.height);
    picture.channels = grey ? 1 : 3;
    picture.pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, picture.pixels.data(), 0, nullptr)) {
        error = path + ": " + image.message;
        png_image_free(&image);
        return false;
    }
    return true;
}

bool DecodePictureFile(const std::string& path, DecodedPicture& picture, std::string& error) {
    const auto dot = path.rfind('.');
    const std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
    if (ext == "jpg" || ext == "jpeg") {
        return DecodeJpegFile(path, picture, error);
    }
    if (ext == "png") {
        return DecodePngFile(path, picture, error);
    }
    error = "not a picture file name: " + path;
    return false;
}

}  // namespace orvctl::test
