#include "video/TurboJpegHandle.h"

#include <turbojpeg.h>

namespace processing {
namespace {

void* Create(TurboJpegHandle::Kind kind) {
    return kind == TurboJpegHandle::Kind::Compress ? tjInitCompress() : tjInitDecompress();
}

}  // namespace

TurboJpegHandle::TurboJpegHandle(Kind kind) : kind_(kind), handle_(Create(kind)) {}

TurboJpegHandle::~TurboJpegHandle() {
    if (handle_ != nullptr) {
        tjDestroy(handle_);
    }
}

int TurboJpegHandle::Checked(int result) {
    // Any failure renews, warnings included: the handle's warning flag survives
    // into later calls that do not clear it (a header read), so a fatal error
    // after a damaged picture would read as a warning and the handle stay broken.
    if (result != 0) {
        Renew();
    }
    return result;
}

void TurboJpegHandle::Renew() {
    if (handle_ != nullptr) {
        tjDestroy(handle_);
    }
    handle_ = Create(kind_);
    ++renewals_;
}

}  // namespace processing
