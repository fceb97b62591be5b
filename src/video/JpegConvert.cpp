#include "video/JpegConvert.h"

#include <memory>

#include "video/PixelConvert.h"

namespace processing {
namespace {

// What a decode works on: the live state's picture or the record's own data.
struct DecodeTarget {
    platform::Bytes& bytes;
    int32_t& width;
    int32_t& height;
    int32_t& isColour;
};

size_t PictureBytes(int32_t width, int32_t height, int32_t isColour) {
    if (width <= 0 || height <= 0) {
        return 0;
    }
    return static_cast<size_t>(width) * static_cast<size_t>(height) * (isColour != 0 ? 2 : 1);
}

// Decodes `jpeg` into `bytes`; false (with `bytes` emptied) when it does not decode.
// The header must have been read into the context.
bool DecodeHeaderedJpeg(JpegDecodeContext& context, std::span<const uint8_t> jpeg,
                        platform::Bytes& bytes) {
    if (!context.FitsDecodeLimits()) {
        bytes.clear();
        return false;
    }
    bytes.resize(context.PackedSize());
    if (context.DecodeToPacked(jpeg.data(), jpeg.size(), bytes.data(), bytes.size()) != kDecodeOk) {
        bytes.clear();
        return false;
    }
    return true;
}

// Step 1: decode a non-empty payload into the target.  False only for an
// unreadable header.
bool DecodePayload(JpegDecodeContext& context, std::span<const uint8_t> payload, DecodeTarget target) {
    if (payload.empty()) {
        return true;
    }
    if (!context.ReadHeader(payload.data(), payload.size())) {
        return false;
    }
    if (DecodeHeaderedJpeg(context, payload, target.bytes)) {
        target.width = context.Width();
        target.height = context.Height();
        target.isColour = context.IsColour() ? 1 : 0;
    } else {
        target.width = target.height = target.isColour = 0;
    }
    return true;
}

// Step 2: accept the auxiliary data as a block update for the decoded picture
// and decode its JPEG into the workspace.
void PrepareBlockUpdate(JpegDecodeContext& context, PictureWorkspace& ws, std::span<const uint8_t> aux,
                        const DecodeTarget& target) {
    ws.updateAccepted = false;
    ws.update = BlockUpdate{};
    ws.updateWidth = ws.updateHeight = ws.updateIsColour = 0;
    const std::optional<BlockUpdate> update = ParseBlockUpdate(aux, target.width, target.height);
    if (!update) {
        return;
    }
    const std::span<const uint8_t> jpeg = BlockUpdateJpeg(*update, aux);
    if (jpeg.empty() || !context.ReadHeader(jpeg.data(), jpeg.size()) ||
        !DecodeHeaderedJpeg(context, jpeg, ws.updatePicture)) {
        return;
    }
    ws.update = *update;
    ws.updateWidth = context.Width();
    ws.updateHeight = context.Height();
    ws.updateIsColour = context.IsColour() ? 1 : 0;
    ws.updateAccepted = true;
}

void ApplyAcceptedUpdate(PictureWorkspace& ws, std::span<const uint8_t> aux, TOrvFrame& frame) {
    if (!ws.updateAccepted) {
        return;
    }
    const PackedPicture source{ws.updatePicture.data(), ws.updatePicture.size(), ws.updateWidth,
                               ws.updateHeight, ws.updateIsColour != 0 ? 2 : 1};
    const PackedPicture full{frame.data.data(), frame.data.size(), frame.width, frame.height,
                             frame.isColour != 0 ? 2 : 1};
    // A refused update (wrong colour mode, too small, blocks outside) leaves the plain picture.
    ApplyBlockUpdate(ws.update, aux, source, full);
}

void FinishRequestedFormat(PictureWorkspace& ws, int32_t requestedFormat, TOrvFrame& frame) {
    frame.format = frame.isColour == 1 ? Yuyv : Grey8;
    if (requestedFormat == kRequestBgr) {
        NativeFrameToBgr(frame, ws.conversion);
    } else if (requestedFormat == kRequestGrey) {
        NativeFrameToGrey(frame, ws.conversion);
    }
}

// With nothing to patch, a live picture asked for as Bgr24 or Grey8 is converted
// straight from the camera's stored picture into the record, instead of copying
// it first and converting the copy: same bytes, one pass less.
bool ConvertFromTarget(const DecodeTarget& target, int32_t requestedFormat, TOrvFrame& frame) {
    const size_t pixels = static_cast<size_t>(target.width) * static_cast<size_t>(target.height);
    const bool colour = target.isColour == 1;
    if (requestedFormat == kRequestBgr) {
        frame.data.resize(3 * pixels);
        if (colour) {
            YuyvToBgr(target.bytes.data(), frame.data.data(), target.width, target.height);
        } else {
            GreyToBgr(target.bytes.data(), frame.data.data(), target.width, target.height);
        }
        frame.format = Bgr24;
    } else if (requestedFormat == kRequestGrey && colour) {
        frame.data.resize(pixels);
        YuyvToGrey(target.bytes.data(), frame.data.data(), target.width, target.height);
        frame.format = Grey8;
    } else {
        return false;
    }
    frame.width = target.width;
    frame.height = target.height;
    frame.isColour = target.isColour;
    return true;
}

// Steps 2 to 5 once the target holds the picture (or nothing).
void DeliverPicture(JpegDecodeContext& context, PictureWorkspace& ws, std::span<const uint8_t> aux,
                    const DecodeTarget& target, bool copyTarget, int32_t requestedFormat, TOrvFrame& frame) {
    // A target whose size disagrees with its dimensions counts as no picture.
    const bool havePicture =
        !target.bytes.empty() && PictureBytes(target.width, target.height, target.isColour) != 0 &&
        target.bytes.size() >= PictureBytes(target.width, target.height, target.isColour);
    ws.updateAccepted = false;
    if (!aux.empty() && havePicture) {
        PrepareBlockUpdate(context, ws, aux, target);
    }
    if (!havePicture) {
        frame.data.clear();
        frame.width = frame.height = 0;
        frame.isColour = target.isColour;
        FinishRequestedFormat(ws, requestedFormat, frame);
        return;
    }
    if (copyTarget && !ws.updateAccepted && ConvertFromTarget(target, requestedFormat, frame)) {
        return;
    }
    if (copyTarget) {
        frame.data.assign(target.bytes.begin(),
                          target.bytes.begin() + static_cast<std::ptrdiff_t>(PictureBytes(
                                                     target.width, target.height, target.isColour)));
    }
    frame.width = target.width;
    frame.height = target.height;
    frame.isColour = target.isColour;
    ApplyAcceptedUpdate(ws, aux, frame);
    FinishRequestedFormat(ws, requestedFormat, frame);
}

bool PassThrough(JpegDecodeContext& context, std::span<const uint8_t> payload, bool asJpeg,
                 TOrvFrame& frame) {
    if (!DescribePassedOn(context, payload, asJpeg ? PassOn::Jpeg : PassOn::Raw, frame)) {
        return false;
    }
    frame.data.assign(payload.begin(), payload.end());
    return true;
}

// A JPEG asked for as a picture with nothing to update and no picture to keep:
// decoded straight into the record in the requested format, the same bytes as
// decoding to the native format and converting, without the whole-picture
// intermediate.  False for an unreadable header; a picture that does not decode
// leaves the record empty (width 0), which the callers report as a failure.
bool DecodeStraight(JpegDecodeContext& context, std::span<const uint8_t> payload, int32_t requestedFormat,
                    TOrvFrame& frame, std::span<uint8_t> outside = {}, size_t* inOutside = nullptr) {
    if (!context.ReadHeader(payload.data(), payload.size())) {
        return false;
    }
    const size_t pixels = static_cast<size_t>(context.Width()) * static_cast<size_t>(context.Height());
    bool decoded = false;
    bool wentOutside = false;
    if (context.FitsDecodeLimits()) {
        size_t bytes = context.PackedSize();
        if (requestedFormat == kRequestBgr) {
            bytes = 3 * pixels;
        } else if (requestedFormat == kRequestGrey) {
            bytes = pixels;
        }
        wentOutside = inOutside != nullptr && outside.size() >= bytes;
        if (!wentOutside) {
            frame.data.resize(bytes);
        }
        uint8_t* target = wentOutside ? outside.data() : frame.data.data();
        if (requestedFormat == kRequestBgr) {
            decoded = context.DecodeToBgr(payload.data(), payload.size(), target, bytes) == kDecodeOk;
        } else if (requestedFormat == kRequestGrey) {
            decoded = context.DecodeToGrey(payload.data(), payload.size(), target, bytes) == kDecodeOk;
        } else {
            decoded = context.DecodeToPacked(payload.data(), payload.size(), target, bytes) == kDecodeOk;
        }
        if (decoded && wentOutside) {
            frame.data.clear();
            *inOutside = bytes;
        }
    }
    if (!decoded) {
        frame.data.clear();
        frame.width = frame.height = frame.isColour = 0;
    } else {
        frame.width = context.Width();
        frame.height = context.Height();
        frame.isColour = context.IsColour() ? 1 : 0;
    }
    if (requestedFormat == kRequestBgr) {
        frame.format = Bgr24;
    } else if (requestedFormat == kRequestGrey) {
        frame.format = Grey8;
    } else {
        frame.format = frame.isColour == 1 ? Yuyv : Grey8;
    }
    return true;
}

bool DecodesStraight(int32_t requestedFormat) {
    return requestedFormat == kRequestNative || requestedFormat == kRequestBgr || requestedFormat == kRequestGrey;
}

enum class Route { PassRaw, PassJpeg, Decode, Ignore };

Route RouteFor(int32_t requestedFormat, std::span<const uint8_t> aux) {
    switch (requestedFormat) {
        case kRequestRaw:
            return Route::PassRaw;
        case kRequestJpeg:
            return Route::PassJpeg;
        case kRequestJpegOrNative:
            return aux.empty() ? Route::PassJpeg : Route::Decode;
        case kRequestNative:
        case kRequestBgr:
        case kRequestGrey:
            return Route::Decode;
        default:
            return Route::Ignore;
    }
}

// Formats that pass the payload on unchanged, or leave the record alone, end
// here: true, with the conversion's result in `result`. False when the payload
// is to be decoded.
bool EndsWithoutDecoding(JpegDecodeContext& context, std::span<const uint8_t> payload,
                         std::span<const uint8_t> aux, int32_t requestedFormat, TOrvFrame& frame, bool& result) {
    switch (RouteFor(requestedFormat, aux)) {
        case Route::PassRaw:
            result = PassThrough(context, payload, false, frame);
            return true;
        case Route::PassJpeg:
            result = PassThrough(context, payload, true, frame);
            return true;
        case Route::Ignore:
            result = true;
            return true;
        case Route::Decode:
            break;
    }
    return false;
}

// A camera without block updates keeps only the JPEG: the payload is decoded
// straight into the record (the same bytes as decoding into the state and
// converting from there).
bool ConvertKeepingJpeg(JpegDecodeContext& context, PictureWorkspace& ws, CameraFrameState& state,
                        std::span<const uint8_t> payload, int32_t requestedFormat, TOrvFrame& frame) {
    if (!DecodeStraight(context, payload, requestedFormat, frame, ws.outside, &ws.inOutside)) {
        return false;  // the state keeps what it had
    }
    if (frame.width == 0) {
        state.picture->clear();  // the payload did not decode: no picture, as if decoded into the state
        state.pictureIsJpeg = false;
        state.width = state.height = state.isColour = 0;
        return false;  // no picture is a failure, never an empty picture reported as one
    }
    state.picture->assign(payload.begin(), payload.end());
    state.pictureIsJpeg = true;
    state.width = frame.width;
    state.height = frame.height;
    state.isColour = frame.isColour;
    return true;
}

// Replaces a kept JPEG by its decoded picture. The JPEG decoded once already, so
// this gives the picture that decoding into the state would have kept.
void DecodeKeptJpeg(JpegDecodeContext& context, PictureWorkspace& ws, CameraFrameState& state) {
    if (!state.pictureIsJpeg) {
        return;
    }
    state.pictureIsJpeg = false;
    platform::Bytes& jpeg = *state.picture;
    const DecodeTarget target{ws.livePicture, state.width, state.height, state.isColour};
    if (jpeg.empty() || !DecodePayload(context, jpeg, target)) {
        jpeg.clear();
        state.width = state.height = state.isColour = 0;
        return;
    }
    jpeg.swap(ws.livePicture);
}

}  // namespace

PassOn PassesOn(int32_t requestedFormat, std::span<const uint8_t> aux) {
    switch (RouteFor(requestedFormat, aux)) {
        case Route::PassRaw:
            return PassOn::Raw;
        case Route::PassJpeg:
            return PassOn::Jpeg;
        default:
            return PassOn::No;
    }
}

bool DescribePassedOn(JpegDecodeContext& context, std::span<const uint8_t> payload, PassOn how, TOrvFrame& frame) {
    if (how == PassOn::Jpeg && !payload.empty()) {
        if (!context.ReadHeader(payload.data(), payload.size())) {
            return false;
        }
        frame.width = context.Width();
        frame.height = context.Height();
        frame.isColour = context.Subsampling();
    } else {
        frame.width = frame.height = 0;
    }
    frame.data.clear();
    frame.format = how == PassOn::Jpeg ? Jpeg : Raw;
    return true;
}

bool ConvertLiveJpeg(JpegDecodeContext& context, PictureWorkspace& ws, CameraFrameState& state,
                     int32_t frameId, double time, std::span<const uint8_t> payload,
                     std::span<const uint8_t> aux, int32_t requestedFormat, TOrvFrame& frame) {
    ws.inOutside = 0;
    if (bool done = false; EndsWithoutDecoding(context, payload, aux, requestedFormat, frame, done)) {
        return done;
    }
    state.lastFrameId = frameId;
    state.lastTime = time;
    if (!state.picture) {
        state.picture = std::make_shared<platform::Bytes>();
        state.pictureIsJpeg = false;
    }
    if (payload.empty() || !aux.empty()) {
        state.keepsDecodedPicture = true;
    }
    if (!state.keepsDecodedPicture && DecodesStraight(requestedFormat)) {
        return ConvertKeepingJpeg(context, ws, state, payload, requestedFormat, frame);
    }
    if (payload.empty()) {
        DecodeKeptJpeg(context, ws, state);
    }
    const DecodeTarget target{*state.picture, state.width, state.height, state.isColour};
    if (!DecodePayload(context, payload, target)) {
        return false;
    }
    state.pictureIsJpeg = false;
    DeliverPicture(context, ws, aux, target, true, requestedFormat, frame);
    return frame.width > 0;
}

bool ConvertArchiveJpeg(JpegDecodeContext& context, PictureWorkspace& ws, std::span<const uint8_t> payload,
                        std::span<const uint8_t> aux, int32_t requestedFormat, TOrvFrame& frame) {
    if (bool done = false; EndsWithoutDecoding(context, payload, aux, requestedFormat, frame, done)) {
        return done;
    }
    if (aux.empty() && !payload.empty() && DecodesStraight(requestedFormat)) {
        return DecodeStraight(context, payload, requestedFormat, frame) && frame.width > 0;
    }
    // A fresh state per archive frame: nothing carries over, so an empty payload
    // gives an empty picture.
    CameraFrameState fresh;
    if (payload.empty()) {
        frame.data.clear();
    }
    const DecodeTarget target{frame.data, fresh.width, fresh.height, fresh.isColour};
    if (!DecodePayload(context, payload, target)) {
        return false;
    }
    DeliverPicture(context, ws, aux, target, false, requestedFormat, frame);
    return frame.width > 0;
}

}  // namespace processing
