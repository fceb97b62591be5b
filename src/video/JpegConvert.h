// JPEG-source conversion: turns a JPEG payload received from a server (with its
// optional auxiliary data) into the frame record the caller asked for.
//
// Entry points
//   ConvertLiveJpeg    - live frames.  Decodes the payload and delivers it into
//                        the record; the camera's CameraFrameState keeps its last
//                        full picture, so that an empty payload reuses it and a
//                        block update can arrive on its own.  The state keeps the
//                        picture without the update.  A camera that has never
//                        needed its picture keeps the JPEG and decodes straight
//                        into the record; the first empty payload or auxiliary data
//                        decodes the kept JPEG and the state holds the decoded
//                        picture from then on.  The caller takes the state out of
//                        its map (creating it when absent) and puts it back.
//   ConvertArchiveJpeg - archive frames.  Decodes straight into the record.
//
// Requested formats (the frame operations' codes):
//   0  payload as received, format Raw
//   1  payload as received, format Jpeg, width/height/isColour (= subsampling
//      code) from the header; an unreadable header fails; an empty payload
//      skips the header
//   2  native picture: Yuyv for colour, Grey8 for grey
//   3  Bgr24
//   4  Grey8
//   7  as 1 without auxiliary data, else as 2
//   other codes leave the record alone and succeed.
// For 2, 3 and 4 the conversion fails (false) whenever it ends without a
// picture: an unreadable header, a picture that does not decode after a good
// header (the record is left empty, width = height = 0), or an empty payload
// with no earlier picture to reuse.  A damaged picture is thus never reported
// as one.  A block update that does not fit or whose JPEG does not decode is
// skipped, and the plain picture is delivered.
//
// The workspace, the decode context and the conversion buffers are owned by the
// caller and reused from call to call (one per path; not shared between threads).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "video/BlockUpdate.h"
#include "video/FrameRequest.h"
#include "video/JpegDecodeContext.h"
#include "video/TOrvFrame.h"

namespace processing {

struct PictureWorkspace {
    platform::Bytes conversion;     // target of Bgr24/Grey8 conversions, exchanged with data
    platform::Bytes updatePicture;  // decoded JPEG of a block update
    platform::Bytes livePicture;    // a kept JPEG decoded again, on its way into the camera's state
    int32_t updateWidth = 0;
    int32_t updateHeight = 0;
    int32_t updateIsColour = 0;
    BlockUpdate update;  // values of the last accepted block update
    bool updateAccepted = false;
    // Where a live picture decoded straight from its JPEG (no update, the camera
    // keeps only the JPEG) goes instead of the record's data when it fits: the
    // caller's own buffer.  Empty when there is none.  `inOutside` gives the bytes
    // the last ConvertLiveJpeg wrote there, 0 when the picture is in the record.
    std::span<uint8_t> outside;
    size_t inOutside = 0;
};

bool ConvertLiveJpeg(JpegDecodeContext& context, PictureWorkspace& workspace, CameraFrameState& state,
                     int32_t frameId, double time, std::span<const uint8_t> payload,
                     std::span<const uint8_t> aux, int32_t requestedFormat, TOrvFrame& frame);

// Whether a requested format passes a payload on unchanged (0 as Raw, 1 as Jpeg,
// 7 as Jpeg when there is no auxiliary data) instead of converting it.
enum class PassOn { No, Raw, Jpeg };
PassOn PassesOn(int32_t requestedFormat, std::span<const uint8_t> aux);

// The record of a payload passed on unchanged, without its bytes, for a caller
// that received them where they are to be delivered: format, and for Jpeg the
// width, height and subsampling code from the header (false when the header does
// not parse, as for requested format 1). data is left empty.
bool DescribePassedOn(JpegDecodeContext& context, std::span<const uint8_t> payload, PassOn how, TOrvFrame& frame);

bool ConvertArchiveJpeg(JpegDecodeContext& context, PictureWorkspace& workspace,
                        std::span<const uint8_t> payload, std::span<const uint8_t> aux,
                        int32_t requestedFormat, TOrvFrame& frame);

}  // namespace processing
