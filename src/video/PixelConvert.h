// Pixel-format conversions between the packed picture formats of TOrvFrame
// (Bgr24, Yuyv, Grey8) and the packing of planar YCbCr into Yuyv.
//
// Every loop has a plain scalar form that defines the result, and, where the
// CPU offers AVX2, a vector form that produces exactly the same bytes (the unit
// tests compare both with an independent reference).  All formats are tightly
// packed: a row is width * bytesPerPixel bytes.
//
// Formulas (values clamped to 0..255):
//   YUYV -> BGR: with d = c - 128 and tables truncated toward zero
//     B = Y + trunc(1.772 d_U), G = Y - trunc(0.34414 d_U) - trunc(0.71414 d_V),
//     R = Y + trunc(1.402 d_V).
//   BGR -> YUYV (13-bit fixed point): Y = (802 B + 4130 G + 2104 R + 0x21000) >> 13,
//     even pixels carry U = (3598 B - 2384 G - 1214 R + 0x101000) >> 13,
//     odd pixels  carry V = (3598 R - 3013 G - 585 B + 0x101000) >> 13.
//   BGR -> grey: floor(0.3 R + 0.59 G + 0.11 B + 0.5), computed exactly in integers.
//   YUYV -> grey: the Y bytes.  Grey -> BGR: each byte three times.
#pragma once

#include <cstdint>
#include <vector>

#include "video/TOrvFrame.h"

namespace processing {

// The four YUYV-to-BGR tables, indexed by the U or V byte.  Built once, by the
// compiler, so they are ready before any code of the library runs.
struct YuyvToBgrTables {
    int16_t blueU[256];   // trunc(1.772   * (c - 128))
    int16_t greenU[256];  // trunc(0.34414 * (c - 128))
    int16_t greenV[256];  // trunc(0.71414 * (c - 128))
    int16_t redV[256];    // trunc(1.402   * (c - 128))
};
const YuyvToBgrTables& YuyvTables();

// Vector paths are used when the CPU supports them; tests switch them off to
// check the scalar forms.  Not meant to be flipped while conversions run.
void SetVectorPathsEnabled(bool enabled);
bool VectorPathsEnabled();

// Raw pixel loops.  Source and target must not overlap.  A Yuyv row of odd
// width ends in a lone pixel (Y, U); converting it uses a neutral V.
void YuyvToBgr(const uint8_t* src, uint8_t* dst, int width, int height);
void GreyToBgr(const uint8_t* src, uint8_t* dst, int width, int height);
void YuyvToGrey(const uint8_t* src, uint8_t* dst, int width, int height);
void BgrToYuyv(const uint8_t* src, uint8_t* dst, int width, int height);
void BgrToGrey(const uint8_t* src, uint8_t* dst, int width, int height);

// Planar YCbCr (one Y plane, two chroma planes subsampled by 2^hShift
// horizontally and 2^vShift vertically) to Yuyv, packed as pixel/PlanarPacking.h
// says for full-range samples.
struct PlanarPicture {
    const uint8_t* planes[3];
    int strides[3];
    int width;
    int height;
    int hShift;
    int vShift;
};
void PlanarToYuyv(const PlanarPicture& picture, uint8_t* dst);
// Planar YCbCr straight to Bgr24: the same bytes as PlanarToYuyv followed by
// YuyvToBgr, in one pass and without the packed picture.
void PlanarToBgr(const PlanarPicture& picture, uint8_t* dst);

// Frame-level conversions: the converted picture is written into `scratch`
// and then exchanged with `frame.data`, so no buffer is copied or freed.
// BgrFrameToYuyv and BgrFrameToGrey fail when the frame is not Bgr24 or empty.
bool BgrFrameToYuyv(TOrvFrame& frame, platform::Bytes& scratch);
bool BgrFrameToGrey(TOrvFrame& frame, platform::Bytes& scratch);
// Yuyv or Grey8 to Bgr24; an empty picture just changes its format.
bool NativeFrameToBgr(TOrvFrame& frame, platform::Bytes& scratch);
// Yuyv to Grey8; a Grey8 frame is left as it is.
bool NativeFrameToGrey(TOrvFrame& frame, platform::Bytes& scratch);

}  // namespace processing
