// The exported C functions. Each is a thin frame around the manager or the plate
// helper (see LibraryState.h): lock, initialised test, argument checks, forward,
// translate into the caller's integers and buffers.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "api/LibraryState.h"
#include "manager/ResultCode.h"
#include "orv_sdk.h"
#include "platform/OleTime.h"
#include "video/FrameRequest.h"
#include "video/TOrvFrame.h"

using orv_api::Guarded;
using orv_api::kNotInitialised;

// The codes the library returns inside and the ones the header promises are one list.
static_assert(platform::kOleUnixEpoch == ORV_OLE_UNIX_EPOCH);
static_assert(static_cast<double>(platform::kMsPerDay) == ORV_MS_PER_DAY);
static_assert(orv_result::kOk == ORV_OK);
static_assert(orv_result::kFailed == ORV_E_FAILED);
static_assert(orv_result::kInvalidArgument == ORV_E_INVALID_ARG);
static_assert(orv_result::kBufferTooSmall == ORV_E_BUFFER_TOO_SMALL);
static_assert(orv_result::kDuplicate == ORV_E_DUPLICATE);
static_assert(orv_result::kNoFrame == ORV_E_NO_FRAME);
static_assert(orv_result::kCameraInactive == ORV_E_CAMERA_INACTIVE);
static_assert(orv_result::kUnknownCamera == ORV_E_UNKNOWN_CAMERA);
static_assert(orv_result::kNotDecodable == ORV_E_NOT_DECODABLE);
static_assert(orv_result::kNoPlate == ORV_E_NO_PLATE);
static_assert(orv_result::kNotReady == ORV_E_NOT_READY);
static_assert(orv_result::kNotInitialised == ORV_E_NOT_INITIALISED);
static_assert(orv_result::kNotSupported == ORV_E_NOT_SUPPORTED);
#define ORV_COUNT_CODE(name, text) +1
static_assert(0 ORV_RESULT_CODES(ORV_COUNT_CODE) == 13, "a result code of the header has no internal name");
#undef ORV_COUNT_CODE

namespace {

constexpr int32_t kArchiveChannel = 0;
constexpr size_t kMaxArchiveCameras = 1024;

void PutLe32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void PutLeDouble(uint8_t* out, double value) {
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<uint8_t>(bits >> (8 * i));
    }
}

double LeDouble(const std::array<uint8_t, 8>& bytes) {
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) {
        bits |= static_cast<uint64_t>(bytes[static_cast<size_t>(i)]) << (8 * i);
    }
    double value = 0.0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// The 32-byte camera-information record, written byte by byte.
void FillCameraInfo(const CameraInfo& info, OrvCameraInfo* out) {
    uint8_t bytes[sizeof(OrvCameraInfo)] = {};
    PutLe32(bytes + 0, static_cast<uint32_t>(info.camera));
    PutLe32(bytes + 4, static_cast<uint32_t>(info.serverHandle));
    PutLeDouble(bytes + 8, LeDouble(info.recordTime));
    PutLeDouble(bytes + 16, static_cast<double>(info.recordValue3));
    bytes[24] = info.recordByte;
    std::memcpy(bytes + 25, info.status.bytes.data(), 4);
    bytes[29] = info.flagA ? 1 : 0;
    bytes[30] = info.active ? 1 : 0;
    bytes[31] = info.flagB ? 1 : 0;
    std::memcpy(out, bytes, sizeof bytes);
}

// The request each exported frame type makes, by call path; index: the ORV_FRAME_*
// value (0 and unknown types ask for the payload as received, or nothing). The
// header's frame table describes what each request gives.
using processing::FrameRequest;
using processing::kRequestBgr;
using processing::kRequestGrey;
using processing::kRequestJpeg;
using processing::kRequestNative;
using processing::kRequestRaw;
using processing::kRequestYuyv;
constexpr std::array<FrameRequest, 6> kLiveRequest = {
    kRequestRaw, kRequestJpeg, kRequestYuyv, kRequestBgr, kRequestNative, kRequestGrey};
constexpr std::array<FrameRequest, 6> kArchiveRequest = {
    kRequestRaw, kRequestJpeg, kRequestYuyv, kRequestBgr, kRequestNative, kRequestRaw};
static_assert(ORV_FRAME_JPEG == 1 && ORV_FRAME_YUYV == 2 && ORV_FRAME_BGR == 3 && ORV_FRAME_NATIVE == 4 &&
              ORV_FRAME_GREY == 5);

int32_t RequestFor(const std::array<FrameRequest, 6>& table, int frameType) {
    return frameType > 0 && frameType < static_cast<int>(table.size()) ? table[static_cast<size_t>(frameType)]
                                                                        : kRequestRaw;
}

template <class T>
void WriteIf(T* out, T value) {
    if (out != nullptr) {
        *out = value;
    }
}

// Copies the frame's data when it fits; the size values are written either way so
// that the caller can grow its buffer and ask again.
int CopyFrameData(const TOrvFrame& frame, char* buffer, unsigned size) {
    if (frame.data.empty()) {
        return 0;
    }
    if (frame.data.size() > size) {
        return orv_result::kBufferTooSmall;
    }
    std::memcpy(buffer, frame.data.data(), frame.data.size());
    return 0;
}

int AddServer(const char* address, int port, int rateLimit, int userValue, const char* password,
              int* serverNumber) {
    return Guarded([&](IOrvServerManager& manager) -> int {
        if (address == nullptr || password == nullptr) {
            return orv_result::kInvalidArgument;
        }
        const std::string addressCopy(address);
        const std::string passwordCopy(password);
        int32_t number = 0;
        const int32_t result =
            manager.AddServer(addressCopy, rateLimit, port, userValue, passwordCopy, number, false);
        if (result == 0 && serverNumber != nullptr) {
            *serverNumber = number;
        }
        return static_cast<int>(result);
    });
}

template <class Body>
int GuardedPlates(Body&& body) noexcept {
    return Guarded([&](IOrvServerManager&) -> int {
        auto& plates = orv_api::State().plates;
        if (!plates) {
            return kNotInitialised;
        }
        return body(*plates);
    });
}

int WindowCommand() noexcept {
    return Guarded([](IOrvServerManager&) -> int {
        return orv_api::State().block ? orv_api::kNotSupported : kNotInitialised;
    });
}

}  // namespace

extern "C" {

ORV_API int ORV_CALL ORV_Init(void) { return orv_api::Init(); }

ORV_API int ORV_CALL ORV_Uninit(void) { return orv_api::Uninit(); }

ORV_API int ORV_CALL ORV_ServerAdd(const char* address, int port, int rateLimit, int userValue,
                                   const char* password) {
    return AddServer(address, port, rateLimit, userValue, password, nullptr);
}

ORV_API int ORV_CALL ORV_ServerAddEx(const char* address, int port, int rateLimit, int userValue,
                                     const char* password, int* serverNumber) {
    return AddServer(address, port, rateLimit, userValue, password, serverNumber);
}

ORV_API int ORV_CALL ORV_ServersDelAll(void) {
    return Guarded([](IOrvServerManager& manager) -> int { return static_cast<int>(manager.DeleteAllServers()); });
}

ORV_API int ORV_CALL ORV_ServersConnect(void) {
    return Guarded([](IOrvServerManager& manager) -> int { return static_cast<int>(manager.ConnectAll()); });
}

ORV_API int ORV_CALL ORV_ServersDisconnect(void) {
    return Guarded([](IOrvServerManager& manager) -> int { return static_cast<int>(manager.DisconnectAll()); });
}

ORV_API int ORV_CALL ORV_ServersGetCount(void) {
    return Guarded([](IOrvServerManager& manager) -> int {
        std::vector<ServerInfo> servers;
        const int32_t result = manager.GetServers(servers);
        return result == 0 ? static_cast<int>(servers.size()) : static_cast<int>(result);
    });
}

ORV_API int ORV_CALL ORV_ServerGetState(int server, int* state) {
    return Guarded([&](IOrvServerManager& manager) -> int {
        if (state == nullptr) {
            return orv_result::kInvalidArgument;
        }
        *state = 0;
        std::vector<ServerInfo> servers;
        if (const int32_t result = manager.GetServers(servers); result != 0) {
            return static_cast<int>(result);
        }
        for (const auto& entry : servers) {
            if (entry.handle == server) {
                *state = entry.state;
                return 0;
            }
        }
        if (server >= 1 && static_cast<size_t>(server) <= servers.size()) {
            *state = servers[static_cast<size_t>(server) - 1].state;
            return 0;
        }
        return orv_api::kFailed;
    });
}

ORV_API int ORV_CALL ORV_ServerGetCameras(int serverHandle, int* firstCamera, int* lastCamera, int* cameraCount) {
    return Guarded([&](IOrvServerManager& manager) -> int {
        if (firstCamera == nullptr || lastCamera == nullptr || cameraCount == nullptr) {
            return orv_result::kInvalidArgument;
        }
        *firstCamera = 0;
        *lastCamera = 0;
        *cameraCount = 0;
        std::vector<CameraRange> ranges;
        if (const int32_t result = manager.GetCameraRanges(ranges); result != 0) {
            return static_cast<int>(result);
        }
        for (const auto& range : ranges) {
            if (range.serverHandle == serverHandle) {
                *firstCamera = range.firstCamera;
                *lastCamera = range.lastCamera;
                *cameraCount = range.cameraCount;
                return 0;
            }
        }
        return orv_api::kFailed;
    });
}

ORV_API int ORV_CALL ORV_CameraGetInfo(int camera, OrvCameraInfo* info) {
    if (info == nullptr) {
        return orv_result::kInvalidArgument;
    }
    return Guarded([&](IOrvServerManager& manager) -> int {
        std::memset(info, 0, sizeof *info);
        CameraInfo found;
        const int32_t result = manager.GetCameraInfo(camera, found);
        if (result == 0) {
            FillCameraInfo(found, info);
        }
        return static_cast<int>(result);
    });
}

ORV_API int ORV_CALL ORV_CameraGetName(int camera, char* buffer, unsigned size) {
    if (buffer == nullptr || size == 0) {
        return orv_result::kInvalidArgument;
    }
    return Guarded([&](IOrvServerManager& manager) -> int {
        std::string name;
        if (const int32_t result = manager.GetCameraName(camera, name); result != 0) {
            return static_cast<int>(result);
        }
        if (name.size() >= size) {
            return orv_result::kBufferTooSmall;
        }
        std::memcpy(buffer, name.c_str(), name.size() + 1);
        return 0;
    });
}

ORV_API int ORV_CALL ORV_VideoGetFrame(int camera, int frameType, char* buffer, unsigned size, double* time,
                                       int* width, int* height, int* dataSize) {
    return Guarded([&](IOrvServerManager& manager) -> int {
        // Per thread: calls from several threads run at once.
        thread_local std::vector<int32_t> cameras(1, 0);
        thread_local std::vector<TOrvFrame> frames(1);
        cameras[0] = camera;
        int32_t found = 0;
        // A picture passed on as received is received straight into the caller's buffer.
        size_t inBuffer = 0;
        const int32_t result =
            manager.GetLiveFramesInto(found, cameras, frames, RequestFor(kLiveRequest, frameType), reinterpret_cast<uint8_t*>(buffer),
                                      buffer == nullptr ? 0 : size, inBuffer);
        if (result != 0) {
            return static_cast<int>(result);
        }
        if (found < 1 || frames.empty()) {
            WriteIf(time, 0.0);
            WriteIf(width, 0);
            WriteIf(height, 0);
            WriteIf(dataSize, 0);
            return orv_result::kNoFrame;
        }
        const TOrvFrame& frame = frames[0];
        WriteIf(time, frame.time);
        WriteIf(width, static_cast<int>(frame.width));
        WriteIf(height, static_cast<int>(frame.height));
        WriteIf(dataSize, static_cast<int>(inBuffer > 0 ? inBuffer : frame.data.size()));
        if (inBuffer > 0) {
            return 0;
        }
        if (buffer == nullptr && !frame.data.empty()) {
            return orv_result::kBufferTooSmall;  // nowhere to put the picture
        }
        return CopyFrameData(frame, buffer, size);
    });
}

ORV_API int ORV_CALL ORV_VideoArchiveOpen(int open) {
    return Guarded([&](IOrvServerManager& manager) -> int {
        return static_cast<int>(manager.ArchiveOpen(kArchiveChannel, (open & 0xFF) != 0));
    });
}

ORV_API int ORV_CALL ORV_VideoArchiveFindData(double time, int direction) {
    return Guarded([&](IOrvServerManager& manager) -> int {
        return static_cast<int>(manager.ArchiveFindData(kArchiveChannel, time, direction));
    });
}

ORV_API int ORV_CALL ORV_VideoArchiveGetInfo(double* begin, double* end) {
    return Guarded([&](IOrvServerManager& manager) -> int {
        if (begin == nullptr || end == nullptr) {
            return orv_result::kInvalidArgument;
        }
        double first = 0.0;
        double last = 0.0;
        const int32_t result = manager.ArchiveGetInfo(kArchiveChannel, first, last);
        if (result == 0) {
            *begin = first;
            *end = last;
        }
        return static_cast<int>(result);
    });
}

ORV_API int ORV_CALL ORV_VideoArchiveGetFrame(const int* cameras, unsigned cameraCount, int frameType, int param1,
                                              int param2, char* buffer, unsigned size, int* camera, double* time,
                                              int* width, int* height, int* dataSize) {
    return Guarded([&](IOrvServerManager& manager) -> int {
        if (cameras == nullptr || buffer == nullptr || camera == nullptr || time == nullptr || width == nullptr ||
            height == nullptr || dataSize == nullptr || cameraCount == 0) {
            return orv_result::kInvalidArgument;
        }
        thread_local std::vector<int32_t> cameraList;
        thread_local TOrvFrame frame;
        const size_t count = std::min<size_t>(cameraCount, kMaxArchiveCameras);
        cameraList.resize(count);
        std::copy(cameras, cameras + count, cameraList.begin());
        int32_t found = 0;
        const int32_t result = manager.GetArchiveFrame(kArchiveChannel, found, cameraList, param1, param2 != 0,
                                                       frame, RequestFor(kArchiveRequest, frameType), 0.0, false);
        if (result != 0) {
            return static_cast<int>(result);
        }
        if (found == 0) {
            *camera = 0;
            *time = 0.0;
            *width = 0;
            *height = 0;
            *dataSize = 0;
            return orv_result::kNoFrame;
        }
        *camera = frame.camera;
        *time = frame.time;
        *width = frame.width;
        *height = frame.height;
        *dataSize = static_cast<int>(frame.data.size());
        return CopyFrameData(frame, buffer, size);
    });
}

ORV_API int ORV_CALL ORV_KeloEnablePlateDetect(int enable) {
    return GuardedPlates([&](KeloHelper& plates) { return KeloEnablePlateDetect(plates, enable); });
}

ORV_API int ORV_CALL ORV_KeloGetPlateNumber(char* number, int* server, int* camera, double* time, int imageType,
                                            int offsetMs, unsigned char* image, unsigned imageCapacity, int* width,
                                            int* height, int* imageSize) {
    return GuardedPlates([&](KeloHelper& plates) {
        return KeloGetPlateNumber(plates, number, server, camera, time, imageType, offsetMs, image, imageCapacity,
                                  width, height, imageSize);
    });
}

ORV_API int ORV_CALL ORV_KeloGetLatestPlateNumber(int camera, char* number, int* server, double* time,
                                                  int imageType, int offsetMs, unsigned char* image,
                                                  unsigned imageCapacity, int* width, int* height, int* imageSize,
                                                  int maxAgeMs) {
    return GuardedPlates([&](KeloHelper& plates) {
        return KeloGetLatestPlateNumber(plates, camera, number, server, time, imageType, offsetMs, image,
                                        imageCapacity, width, height, imageSize, maxAgeMs);
    });
}

ORV_API int ORV_CALL ORV_SetExternalEvent(int camera, int value1, int value2, int value3, int value4) {
    return Guarded([&](IOrvServerManager& manager) -> int {
        return static_cast<int>(manager.SetExternalEvent(camera, value1, value2, value3, value4));
    });
}

ORV_API int ORV_CALL ORV_SetExternalEvent_X(int serverHandle, int value) {
    return Guarded([&](IOrvServerManager& manager) -> int {
        return static_cast<int>(manager.SetExternalEventX(serverHandle, value));
    });
}

ORV_API int ORV_CALL ORV_ExtPultSwitchCam(int serverHandle, int camera) {
    return Guarded([&](IOrvServerManager& manager) -> int {
        return static_cast<int>(manager.ExtPultSwitchCam(serverHandle, camera));
    });
}

ORV_API int ORV_CALL ORV_CamTele(int camera, int command, int speed1, int speed2, int value) {
    return Guarded([&](IOrvServerManager& manager) -> int {
        return static_cast<int>(manager.CamTele(camera, command, speed1, speed2, value));
    });
}

ORV_API int ORV_CALL ORV_WindowLiveShow(int, int, int, int, int, int, int, int) { return WindowCommand(); }

ORV_API int ORV_CALL ORV_WindowLiveHide(int) { return WindowCommand(); }

ORV_API int ORV_CALL ORV_WindowArchiveShow(int, int, int, int, int, int, int, int, int) { return WindowCommand(); }

ORV_API int ORV_CALL ORV_WindowArchiveHide(void) { return WindowCommand(); }

}  // extern "C"
