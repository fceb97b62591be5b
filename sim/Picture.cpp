#include "sim/Picture.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "platform/OleTime.h"

namespace orv_sim {
namespace {

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;

struct Glyph {
    char ch;
    std::array<uint8_t, kGlyphHeight> rows;  // bit 4 is the leftmost column
};

constexpr Glyph kFont[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}}, {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}}, {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
};

const Glyph* FindGlyph(char ch) {
    for (const Glyph& g : kFont) {
        if (g.ch == ch) return &g;
    }
    return nullptr;  // space and unknown characters draw nothing
}

// Fills the luma rectangle [x0, x1) x [y0, y1) with one value per plane.
void FillRect(PlanarPicture& p, int x0, int y0, int x1, int y1, uint8_t yv, uint8_t uv, uint8_t vv) {
    x0 = std::clamp(x0, 0, p.width);
    x1 = std::clamp(x1, 0, p.width);
    y0 = std::clamp(y0, 0, p.height);
    y1 = std::clamp(y1, 0, p.height);
    if (x0 >= x1 || y0 >= y1) return;
    for (int row = y0; row < y1; ++row) {
        std::memset(&p.y[static_cast<size_t>(row) * p.width + x0], yv, static_cast<size_t>(x1 - x0));
    }
    if (p.subsampling == Subsampling::Grey) return;
    const int fx = ChromaFactorX(p.subsampling);
    const int fy = ChromaFactorY(p.subsampling);
    const int cx0 = x0 / fx;
    const int cx1 = std::min((x1 + fx - 1) / fx, p.chromaWidth);
    const int cy0 = y0 / fy;
    const int cy1 = std::min((y1 + fy - 1) / fy, p.chromaHeight);
    for (int row = cy0; row < cy1; ++row) {
        const size_t offset = static_cast<size_t>(row) * p.chromaWidth + cx0;
        std::memset(&p.u[offset], uv, static_cast<size_t>(cx1 - cx0));
        std::memset(&p.v[offset], vv, static_cast<size_t>(cx1 - cx0));
    }
}

// Draws text with its top-left corner at (x, y), each font pixel scale x scale,
// on a dark plate so that it reads on any background.
void DrawText(PlanarPicture& p, int x, int y, int scale, const std::string& text) {
    const int cell = (kGlyphWidth + 1) * scale;
    const int textWidth = cell * static_cast<int>(text.size()) + scale;
    FillRect(p, x - scale, y - scale, x + textWidth, y + (kGlyphHeight + 1) * scale, 16, 128, 128);
    for (size_t i = 0; i < text.size(); ++i) {
        const Glyph* glyph = FindGlyph(text[i]);
        if (glyph == nullptr) continue;
        const int gx = x + static_cast<int>(i) * cell;
        for (int row = 0; row < kGlyphHeight; ++row) {
            for (int col = 0; col < kGlyphWidth; ++col) {
                if ((glyph->rows[static_cast<size_t>(row)] >> (kGlyphWidth - 1 - col) & 1) == 0) continue;
                FillRect(p, gx + col * scale, y + row * scale, gx + (col + 1) * scale, y + (row + 1) * scale,
                         235, 128, 128);
            }
        }
    }
}

// A fixed 256x256 grain tile, so that pictures compress like camera pictures.
const std::array<int8_t, 256 * 256>& GrainTile() {
    static const std::array<int8_t, 256 * 256> tile = [] {
        std::array<int8_t, 256 * 256> t{};
        uint32_t h = 0x12345678u;
        for (auto& v : t) {
            h ^= h << 13;
            h ^= h >> 17;
            h ^= h << 5;
            v = static_cast<int8_t>(static_cast<int>(h & 15) - 8);
        }
        return t;
    }();
    return tile;
}

void DrawBackground(PlanarPicture& p, int cameraIndex) {
    // Checkerboard of 32-pixel squares over a vertical ramp, with grain; static in time.
    const auto& grain = GrainTile();
    const int shift = (cameraIndex * 37) & 255;
    for (int row = 0; row < p.height; ++row) {
        uint8_t* line = &p.y[static_cast<size_t>(row) * p.width];
        const int ramp = 40 + row * 96 / std::max(1, p.height);
        const int8_t* grainRow = &grain[static_cast<size_t>(((row + shift) & 255) * 256)];
        for (int col = 0; col < p.width; ++col) {
            line[col] = static_cast<uint8_t>(ramp + (((col >> 5) + (row >> 5)) & 1) * 24 +
                                             grainRow[(col + shift) & 255]);
        }
    }
    if (p.subsampling == Subsampling::Grey) return;
    // Per-camera tint so that cameras are told apart at a glance.
    const auto tintU = static_cast<uint8_t>(96 + (cameraIndex * 37) % 64);
    const auto tintV = static_cast<uint8_t>(96 + (cameraIndex * 59) % 64);
    std::fill(p.u.begin(), p.u.end(), tintU);
    std::fill(p.v.begin(), p.v.end(), tintV);
}

}  // namespace

int ChromaFactorX(Subsampling s) {
    switch (s) {
        case Subsampling::S420:
        case Subsampling::S422:
            return 2;
        case Subsampling::S444:
            return 1;
        case Subsampling::Grey:
            return 0;
    }
    return 0;
}

int ChromaFactorY(Subsampling s) {
    switch (s) {
        case Subsampling::S420:
            return 2;
        case Subsampling::S422:
        case Subsampling::S444:
            return 1;
        case Subsampling::Grey:
            return 0;
    }
    return 0;
}

void ShapePicture(PlanarPicture& picture, int width, int height, Subsampling subsampling) {
    picture.width = width;
    picture.height = height;
    picture.subsampling = subsampling;
    picture.y.resize(static_cast<size_t>(width) * height);
    if (subsampling == Subsampling::Grey) {
        picture.chromaWidth = 0;
        picture.chromaHeight = 0;
        picture.u.clear();
        picture.v.clear();
        return;
    }
    const int fx = ChromaFactorX(subsampling);
    const int fy = ChromaFactorY(subsampling);
    picture.chromaWidth = (width + fx - 1) / fx;
    picture.chromaHeight = (height + fy - 1) / fy;
    picture.u.resize(static_cast<size_t>(picture.chromaWidth) * picture.chromaHeight);
    picture.v.resize(picture.u.size());
}

std::string ClockText(int64_t frameTimeMs) {
    constexpr int64_t kDay = platform::kMsPerDay;
    const int64_t msOfDay = ((frameTimeMs % kDay) + kDay) % kDay;
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", static_cast<int>(msOfDay / 3'600'000),
                  static_cast<int>(msOfDay / 60'000 % 60), static_cast<int>(msOfDay / 1000 % 60),
                  static_cast<int>(msOfDay % 1000));
    return text;
}

int MovingBoxX(int width, int64_t frameTimeMs) {
    // Crosses the free width once every 8 seconds, left to right.
    const int boxWidth = std::max(8, width / 8);
    const int travel = std::max(1, width - boxWidth);
    const int64_t period = 8000;
    const int64_t phase = ((frameTimeMs % period) + period) % period;
    return static_cast<int>(phase * travel / period);
}

void RenderBackground(int cameraIndex, PlanarPicture& out) {
    DrawBackground(out, cameraIndex);
}

void RenderForeground(int cameraIndex, int64_t frameTimeMs, PlanarPicture& out) {
    const int boxWidth = std::max(8, out.width / 8);
    const int boxHeight = std::max(8, out.height / 6);
    const int boxX = MovingBoxX(out.width, frameTimeMs);
    const int boxY = out.height / 2 - boxHeight / 2;
    FillRect(out, boxX, boxY, boxX + boxWidth, boxY + boxHeight, 200, 80, 200);

    const int titleScale = std::max(1, out.height / 60);
    const int clockScale = std::max(1, out.height / 90);
    DrawText(out, 2 * titleScale, 2 * titleScale, titleScale, "CAM " + std::to_string(cameraIndex + 1));
    const int clockY = out.height - (kGlyphHeight + 3) * clockScale;
    DrawText(out, 2 * clockScale, clockY, clockScale, ClockText(frameTimeMs));
}

void RenderPicture(int cameraIndex, int64_t frameTimeMs, PlanarPicture& out) {
    RenderBackground(cameraIndex, out);
    RenderForeground(cameraIndex, frameTimeMs, out);
}

PlanarPicture RenderPicture(int cameraIndex, int64_t frameTimeMs, int width, int height,
                            Subsampling subsampling) {
    PlanarPicture picture;
    ShapePicture(picture, width, height, subsampling);
    RenderPicture(cameraIndex, frameTimeMs, picture);
    return picture;
}

}  // namespace orv_sim
