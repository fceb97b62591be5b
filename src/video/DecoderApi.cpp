#include "video/DecoderApi.h"

#include <cstring>
#include <utility>

namespace {

template <typename Fn>
void Resolve(const platform::DynamicLibrary& library, const char* name, Fn& out) {
    // Function pointers and data pointers share a representation on every
    // platform that has dlsym/GetProcAddress; the copy avoids a cast warning.
    void* address = library.Symbol(name);
    static_assert(sizeof(Fn) == sizeof(void*));
    std::memcpy(&out, &address, sizeof(out));
}

}  // namespace

DecoderApi::DecoderApi(std::string fileName) : fileName_(std::move(fileName)) {}

DecoderApi::DecoderApi(const DecoderFunctions& table) : suppliedTable_(table), supplied_(true) {}

DecoderApi::~DecoderApi() {
    std::lock_guard lock(mutex_);
    Unload();
}

// Never destroyed, for the same reason as the decode pool's state: storages torn down
// by static destructors at process exit still release their use of it.
DecoderApi& DecoderApi::Process() {
    static DecoderApi* const api = new DecoderApi;
    return *api;
}

bool DecoderApi::AddUser() {
    std::lock_guard lock(mutex_);
    if (users_++ == 0) Load();
    return available_;
}

void DecoderApi::RemoveUser() {
    std::lock_guard lock(mutex_);
    if (users_ == 0) return;
    if (--users_ == 0) Unload();
}

bool DecoderApi::IsAvailable() const {
    std::lock_guard lock(mutex_);
    return available_;
}

int32_t DecoderApi::Level() const {
    std::lock_guard lock(mutex_);
    return level_;
}

int32_t DecoderApi::Users() const {
    std::lock_guard lock(mutex_);
    return users_;
}

void DecoderApi::Load() {
    functions_ = {};
    available_ = false;
    level_ = 0;
    DecoderFunctions& f = functions_;
    if (supplied_) {
        f = suppliedTable_;
    } else {
        if (!library_.Open(fileName_)) return;
        Resolve(library_, "GetDecoder", f.GetDecoder);
        Resolve(library_, "ReleaseDecoder", f.ReleaseDecoder);
        Resolve(library_, "SetParams", f.SetParams);
        Resolve(library_, "SetBytes", f.SetBytes);
        Resolve(library_, "GetFrameInfo", f.GetFrameInfo);
        Resolve(library_, "GetFrame", f.GetFrame);
        Resolve(library_, "GetDecType2", f.GetDecType2);
        Resolve(library_, "SetParams2", f.SetParams2);
        Resolve(library_, "SetParser2", f.SetParser2);
        Resolve(library_, "GetFrame2", f.GetFrame2);
    }

    const bool firstGroup = f.GetDecoder && f.ReleaseDecoder && f.SetParams && f.SetBytes && f.GetFrameInfo &&
                            f.GetFrame;
    const bool secondGroup = f.GetDecType2 && f.SetParams2 && f.SetParser2 && f.GetFrame2;
    level_ = secondGroup ? 2 : (firstGroup ? 1 : 0);
    // Decoding calls only the first group, so a module that has the level-2
    // names without them cannot be used: it would leave null entries to call.
    available_ = firstGroup;
    if (!available_) Unload();
}

void DecoderApi::Unload() {
    functions_ = {};
    available_ = false;
    level_ = 0;
    library_.Close();
}

namespace processing {

MPEG4Decoder::MPEG4Decoder(DecoderApi& api) : api_(api) { api_.AddUser(); }

MPEG4Decoder::~MPEG4Decoder() {
    ReleaseHandle();
    api_.RemoveUser();
}

void MPEG4Decoder::ReleaseHandle() {
    if (handle_ != 0 && api_.IsAvailable()) api_.Functions().ReleaseDecoder(handle_);
    handle_ = 0;
}

bool MPEG4Decoder::SetCodec(int32_t kind) {
    ReleaseHandle();
    if (!api_.IsAvailable()) return false;
    int32_t codec = 0;
    if (kind == kKindMpeg4) codec = decoder_abi::kCodecMpeg4;
    if (kind == kKindAvc) codec = decoder_abi::kCodecAvc;
    if (codec == 0) return false;
    handle_ = api_.Functions().GetDecoder(codec);
    return handle_ != 0;
}

int32_t MPEG4Decoder::SetBytes(const uint8_t* data, int32_t length, int32_t reserved, int32_t reset,
                               int32_t endOfBlock) {
    if (handle_ == 0) return -1;
    return api_.Functions().SetBytes(handle_, data, length, reserved, reset, endOfBlock);
}

int32_t MPEG4Decoder::GetFrameInfo(int32_t& width, int32_t& height, int32_t& pixelFormat) {
    width = height = pixelFormat = 0;
    if (handle_ == 0) return -1;
    return api_.Functions().GetFrameInfo(handle_, &width, &height, &pixelFormat);
}

int32_t MPEG4Decoder::GetFrame(uint8_t* buffer, int32_t size) {
    if (handle_ == 0) return -1;
    return api_.Functions().GetFrame(handle_, buffer, size);
}

}  // namespace processing
