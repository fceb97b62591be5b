// What a frame retrieval is asked to deliver: one numbering for every path (live,
// archive and plate pictures, callbacks), from the exports down to the JPEG-source
// conversion. The exports translate the host's frame types into these (see the
// tables in api/exports.cpp); the record that comes back says what it holds in
// FrameFormat (video/TOrvFrame.h), whose values agree where the two mean the same.
#pragma once

#include <cstdint>

#include "video/TOrvFrame.h"

namespace processing {

enum FrameRequest : int32_t {
    kRequestRaw = 0,           // the payload as received, or nothing
    kRequestJpeg = 1,          // a JPEG file: as received, or encoded from the decoded picture
    kRequestNative = 2,        // the camera's own picture: YUYV, or grey from a grey camera
    kRequestBgr = 3,           // decoded to BGR
    kRequestGrey = 4,          // decoded to grey
    kRequestYuyv = 5,          // decoded to YUYV even from a grey camera; a JPEG camera gives its native picture
    kRequestCompressed = 6,    // a compressed video block as received; a JPEG camera gives its JPEG
    kRequestJpegOrNative = 7,  // a JPEG camera's JPEG as received, any other camera's native picture
    kRequestAsReceived = 10,   // the payload exactly as received (a JPEG camera: its JPEG)
};

static_assert(int32_t{kRequestJpeg} == int32_t{Jpeg} && int32_t{kRequestBgr} == int32_t{Bgr24}, "requests and record formats agree where they overlap");

}  // namespace processing
