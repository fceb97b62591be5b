// Synthetic camera pictures: a static background, a moving box, the camera
// number and a running clock. The content is a pure function of the camera
// index, the frame time and the geometry, so that tests can predict it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orv_sim {

enum class Subsampling { S420, S422, S444, Grey };

// A planar Y/U/V (or Y only) picture. Rows are tightly packed.
struct PlanarPicture {
    int width = 0;
    int height = 0;
    Subsampling subsampling = Subsampling::S420;
    int chromaWidth = 0;   // 0 for grey
    int chromaHeight = 0;  // 0 for grey
    std::vector<uint8_t> y;
    std::vector<uint8_t> u;
    std::vector<uint8_t> v;
};

// Horizontal and vertical chroma factors (1 or 2) of a subsampling; 0 for grey.
int ChromaFactorX(Subsampling s);
int ChromaFactorY(Subsampling s);

// Sizes the planes of `picture` for the geometry (reusing its storage).
void ShapePicture(PlanarPicture& picture, int width, int height, Subsampling subsampling);

// Draws the picture of camera `cameraIndex` (0-based) at `frameTimeMs`
// (milliseconds since 1970-01-01 UTC) into `out`, which must be shaped.
void RenderPicture(int cameraIndex, int64_t frameTimeMs, PlanarPicture& out);
PlanarPicture RenderPicture(int cameraIndex, int64_t frameTimeMs, int width, int height,
                            Subsampling subsampling);
// The two halves of RenderPicture: the static background, and what moves over
// it. A copy of the background plus the foreground equals the whole picture.
void RenderBackground(int cameraIndex, PlanarPicture& out);
void RenderForeground(int cameraIndex, int64_t frameTimeMs, PlanarPicture& out);

// The clock text drawn into a picture: "HH:MM:SS.mmm" of the UTC time.
std::string ClockText(int64_t frameTimeMs);

// Left edge (luma pixels) of the moving box at a time; the box is width/8 wide.
int MovingBoxX(int width, int64_t frameTimeMs);

}  // namespace orv_sim
