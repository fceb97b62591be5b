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
    if (result != 0 && (handle_ == nullptr || tjGetErrorCode(handle_) != TJERR_WARNING)) {
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
