// Loading the decoder plug-in (its function table, video/DecoderAbi.h) and one
// decoder handle of it.
//
// The plug-in is loaded at run time; without it everything else keeps working
// and compressed video simply yields no pictures.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/DynamicLibrary.h"
#include "video/DecoderAbi.h"

// The plug-in's function table. One per process in the library (Process());
// tests build their own to point at a particular file.
class DecoderApi {
public:
#ifdef _WIN32
    static constexpr const char* kDefaultFileName = "VEVIDAZev2.dll";
#else
    static constexpr const char* kDefaultFileName = "libVEVIDAZev2.so";
#endif

    explicit DecoderApi(std::string fileName = kDefaultFileName);
    // A table supplied in process instead of a loaded module (scripted decoders
    // in tests). Counts as available when the first six functions are set.
    explicit DecoderApi(const DecoderFunctions& table);
    ~DecoderApi();
    DecoderApi(const DecoderApi&) = delete;
    DecoderApi& operator=(const DecoderApi&) = delete;

    static DecoderApi& Process();

    // The first user loads the plug-in, the last one unloads it. AddUser
    // answers whether the plug-in is available.
    bool AddUser();
    void RemoveUser();

    bool IsAvailable() const;
    int32_t Level() const;
    int32_t Users() const;
    // Valid while at least one user holds the table.
    const DecoderFunctions& Functions() const { return functions_; }

private:
    void Load();
    void Unload();

    mutable std::mutex mutex_;
    std::string fileName_;
    platform::DynamicLibrary library_;
    DecoderFunctions functions_;
    DecoderFunctions suppliedTable_;
    bool supplied_ = false;
    bool available_ = false;
    int32_t level_ = 0;
    int32_t users_ = 0;
};

namespace processing {

// One decoder handle of the plug-in. While it exists it counts as a user of the
// table, so the plug-in cannot be unloaded under a live handle.
class MPEG4Decoder {
public:
    static constexpr int32_t kKindMpeg4 = 1;
    static constexpr int32_t kKindAvc = 2;

    explicit MPEG4Decoder(DecoderApi& api = DecoderApi::Process());
    ~MPEG4Decoder();
    MPEG4Decoder(const MPEG4Decoder&) = delete;
    MPEG4Decoder& operator=(const MPEG4Decoder&) = delete;

    // Releases the current handle and creates one for `kind` (1 MPEG-4 Part 2,
    // 2 AVC). True when a handle exists afterwards.
    bool SetCodec(int32_t kind);
    int32_t Handle() const { return handle_; }

    // Pass-throughs to the plug-in for this handle; -1 without a handle.
    int32_t SetBytes(const uint8_t* data, int32_t length, int32_t reserved, int32_t reset, int32_t endOfBlock);
    int32_t GetFrameInfo(int32_t& width, int32_t& height, int32_t& pixelFormat);
    int32_t GetFrame(uint8_t* buffer, int32_t size);

private:
    void ReleaseHandle();

    DecoderApi& api_;
    int32_t handle_ = 0;
};

}  // namespace processing
