// The one owner of a TurboJPEG handle.  After a fatal error a TurboJPEG handle
// keeps failing on every later picture, valid or not, so a fatal error makes
// the owner throw its handle away and start the next call on a fresh one.
// Every failed call renews the handle, warnings (damaged pictures) included.
#pragma once

#include <cstdint>

namespace processing {

class TurboJpegHandle {
  public:
    enum class Kind { Compress, Decompress };

    explicit TurboJpegHandle(Kind kind);
    ~TurboJpegHandle();
    TurboJpegHandle(const TurboJpegHandle&) = delete;
    TurboJpegHandle& operator=(const TurboJpegHandle&) = delete;

    // The handle for the next TurboJPEG call; null only when TurboJPEG could not
    // allocate one (then every call through it fails cleanly).
    void* Get() { return handle_; }

    // Passes a TurboJPEG call's result through.  A non-zero result whose error
    // is fatal replaces the handle, so the failure costs this call only.
    int Checked(int result);

    // How often the handle has been replaced after a fatal error.
    uint64_t Renewals() const { return renewals_; }

  private:
    void Renew();

    Kind kind_;
    void* handle_ = nullptr;
    uint64_t renewals_ = 0;
};

}  // namespace processing
