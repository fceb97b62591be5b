/*
 * A host program of the library, as an integrator writes one: C, the public header,
 * every call through a table of ORV_CALL (stdcall on 32-bit Windows) function pointers.
 * Built twice on Windows: the table filled from the import library, or (ORV_HOST_DYNAMIC)
 * from LoadLibraryA/GetProcAddress. It drives the library against orv-sim running on
 * 127.0.0.1 with tests/windows/sim-config.json and exits non-zero on any failed check.
 *
 *   host e2e PORT1 PORT2      the whole scenario
 *   host leave PORT1 PORT2    connects, then ends without ORV_Uninit
 *   host bench PORT1 FRAMES   new live pictures of the 1080p camera as JPEG and as BGR, ms each
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "orv_sdk.h"

typedef struct Api {
    int(ORV_CALL* Init)(void);
    int(ORV_CALL* Uninit)(void);
    int(ORV_CALL* ServerAddEx)(const char*, int, int, int, const char*, int*);
    int(ORV_CALL* ServersConnect)(void);
    int(ORV_CALL* ServersGetCount)(void);
    int(ORV_CALL* ServerGetState)(int, int*);
    int(ORV_CALL* ServerGetCameras)(int, int*, int*, int*);
    int(ORV_CALL* CameraGetInfo)(int, OrvCameraInfo*);
    int(ORV_CALL* CameraGetName)(int, char*, unsigned);
    int(ORV_CALL* VideoGetFrame)(int, int, char*, unsigned, double*, int*, int*, int*);
    int(ORV_CALL* VideoArchiveOpen)(int);
    int(ORV_CALL* VideoArchiveFindData)(double, int);
    int(ORV_CALL* VideoArchiveGetInfo)(double*, double*);
    int(ORV_CALL* VideoArchiveGetFrame)(const int*, unsigned, int, int, int, char*, unsigned, int*, double*, int*,
                                        int*, int*);
    int(ORV_CALL* KeloEnablePlateDetect)(int);
    int(ORV_CALL* KeloGetPlateNumber)(char*, int*, int*, double*, int, int, unsigned char*, unsigned, int*, int*,
                                      int*);
    int(ORV_CALL* SetExternalEvent)(int, int, int, int, int);
    int(ORV_CALL* CamTele)(int, int, int, int, int);
    int(ORV_CALL* WindowLiveShow)(int, int, int, int, int, int, int, int);
} Api;

static int failures = 0;

#define CHECK(cond, ...)                                              \
    do {                                                              \
        if (!(cond)) {                                                \
            ++failures;                                               \
            printf("FAIL line %d: %s: ", __LINE__, #cond);            \
            printf(__VA_ARGS__);                                      \
            printf("\n");                                             \
        }                                                             \
    } while (0)

static void SleepMs(int ms) {
#ifdef _WIN32
    Sleep((DWORD)ms);
#else
    usleep((useconds_t)ms * 1000);
#endif
}

static double NowMs(void) {
#ifdef _WIN32
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return (double)c.QuadPart * 1000.0 / (double)f.QuadPart;
#else
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1000.0 + (double)t.tv_nsec / 1e6;
#endif
}

/* CPU time of the calling thread: on a machine shared with other work the wall clock
 * mostly measures waiting for a core. */
static double ThreadCpuMs(void) {
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    const unsigned long long k = ((unsigned long long)kernel.dwHighDateTime << 32) | kernel.dwLowDateTime;
    const unsigned long long u = ((unsigned long long)user.dwHighDateTime << 32) | user.dwLowDateTime;
    return (double)(k + u) / 10000.0;
#else
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec * 1000.0 + (double)t.tv_nsec / 1e6;
#endif
}

#ifdef ORV_HOST_DYNAMIC
static FARPROC Lookup(HMODULE dll, const char* name) {
    FARPROC address = GetProcAddress(dll, name);
    CHECK(address != NULL, "%s not exported", name);
    return address;
}
#define BIND(field, name)                               \
    do {                                                \
        FARPROC address = Lookup(dll, name);            \
        memcpy(&api->field, &address, sizeof address); \
    } while (0)

static HMODULE dll = NULL;

static void UnloadApi(void) {
    CHECK(FreeLibrary(dll), "FreeLibrary");
}

static int LoadApi(Api* api) {
    dll = LoadLibraryA("OrvSdkDll.dll");
    if (dll == NULL) {
        printf("FAIL: LoadLibraryA(OrvSdkDll.dll) error %lu\n", (unsigned long)GetLastError());
        return 0;
    }
    BIND(Init, "ORV_Init");
    BIND(Uninit, "ORV_Uninit");
    BIND(ServerAddEx, "ORV_ServerAddEx");
    BIND(ServersConnect, "ORV_ServersConnect");
    BIND(ServersGetCount, "ORV_ServersGetCount");
    BIND(ServerGetState, "ORV_ServerGetState");
    BIND(ServerGetCameras, "ORV_ServerGetCameras");
    BIND(CameraGetInfo, "ORV_CameraGetInfo");
    BIND(CameraGetName, "ORV_CameraGetName");
    BIND(VideoGetFrame, "ORV_VideoGetFrame");
    BIND(VideoArchiveOpen, "ORV_VideoArchiveOpen");
    BIND(VideoArchiveFindData, "ORV_VideoArchiveFindData");
    BIND(VideoArchiveGetInfo, "ORV_VideoArchiveGetInfo");
    BIND(VideoArchiveGetFrame, "ORV_VideoArchiveGetFrame");
    BIND(KeloEnablePlateDetect, "ORV_KeloEnablePlateDetect");
    BIND(KeloGetPlateNumber, "ORV_KeloGetPlateNumber");
    BIND(SetExternalEvent, "ORV_SetExternalEvent");
    BIND(CamTele, "ORV_CamTele");
    BIND(WindowLiveShow, "ORV_WindowLiveShow");
    /* Only the plain names are exported, not the decorated ones. */
    CHECK(GetProcAddress(dll, "ORV_Init@0") == NULL && GetProcAddress(dll, "_ORV_Init@0") == NULL,
          "decorated name exported");
    return failures == 0;
}
#else
static int LoadApi(Api* api) {
    api->Init = ORV_Init;
    api->Uninit = ORV_Uninit;
    api->ServerAddEx = ORV_ServerAddEx;
    api->ServersConnect = ORV_ServersConnect;
    api->ServersGetCount = ORV_ServersGetCount;
    api->ServerGetState = ORV_ServerGetState;
    api->ServerGetCameras = ORV_ServerGetCameras;
    api->CameraGetInfo = ORV_CameraGetInfo;
    api->CameraGetName = ORV_CameraGetName;
    api->VideoGetFrame = ORV_VideoGetFrame;
    api->VideoArchiveOpen = ORV_VideoArchiveOpen;
    api->VideoArchiveFindData = ORV_VideoArchiveFindData;
    api->VideoArchiveGetInfo = ORV_VideoArchiveGetInfo;
    api->VideoArchiveGetFrame = ORV_VideoArchiveGetFrame;
    api->KeloEnablePlateDetect = ORV_KeloEnablePlateDetect;
    api->KeloGetPlateNumber = ORV_KeloGetPlateNumber;
    api->SetExternalEvent = ORV_SetExternalEvent;
    api->CamTele = ORV_CamTele;
    api->WindowLiveShow = ORV_WindowLiveShow;
    return 1;
}

static void UnloadApi(void) {}
#endif

enum { kBufferSize = 1920 * 1080 * 3 };
static char buffer[kBufferSize];

/* Polls a live picture of the given type for up to 10 s; returns the result code. */
static int LivePicture(const Api* api, int camera, int type, unsigned size, int* width, int* height, int* length) {
    double time = 0;
    int rc = ORV_E_NO_FRAME;
    for (int i = 0; i < 200 && rc == ORV_E_NO_FRAME; ++i) {
        rc = api->VideoGetFrame(camera, type, buffer, size, &time, width, height, length);
        if (rc == ORV_E_NO_FRAME) SleepMs(50);
    }
    return rc;
}

static int Connect(const Api* api, int port1, int port2) {
    int number = 0;
    CHECK(api->ServerAddEx("127.0.0.1", port1, 0, 0, "win-e2e", &number) == ORV_OK && number == 1, "number %d", number);
    if (port2 > 0) {
        CHECK(api->ServerAddEx("127.0.0.1", port2, 0, 0, "win-e2e", &number) == ORV_OK && number == 2,
              "number %d", number);
    }
    CHECK(api->ServersConnect() == ORV_OK, "connect");
    int state = 0;
    for (int i = 0; i < 100; ++i) {
        api->ServerGetState(1, &state);
        if (state == ORV_STATE_CONNECTED) break;
        SleepMs(50);
    }
    CHECK(state == ORV_STATE_CONNECTED, "state %d", state);
    /* Camera states arrive with the worker's status pass: wait for the last camera. */
    OrvCameraInfo info;
    memset(&info, 0, sizeof info);
    const int last = port2 > 0 ? 7 : 5;
    for (int i = 0; i < 100 && !info.active; ++i) {
        if (api->CameraGetInfo(last, &info) != ORV_OK || !info.active) SleepMs(50);
    }
    CHECK(info.active, "camera %d not active", last);
    return state == ORV_STATE_CONNECTED && info.active;
}

/* Calls through the pointers many times: a caller/callee disagreement about who pops
 * the arguments moves the stack pointer on every call and crashes within the loop. */
static void ConventionLoop(const Api* api, int expected) {
    int wrong = 0;
    for (int i = 0; i < 200000; ++i) {
        if (api->WindowLiveShow(i, 2, 3, 4, 5, 6, 7, 8) != expected) ++wrong;
    }
    CHECK(wrong == 0, "%d calls answered other than %d", wrong, expected);
}

static void LiveFrames(const Api* api) {
    int w = 0, h = 0, n = 0;
    CHECK(LivePicture(api, 1, ORV_FRAME_JPEG, kBufferSize, &w, &h, &n) == ORV_OK, "JPEG");
    CHECK(w == 640 && h == 360 && n > 100 && (unsigned char)buffer[0] == 0xFF && (unsigned char)buffer[1] == 0xD8,
          "JPEG %dx%d %d bytes", w, h, n);
    const struct {
        int camera, type, bytesPerPixelTimes2;
    } cases[] = {{1, ORV_FRAME_BGR, 6}, {1, ORV_FRAME_NATIVE, 4}, {1, ORV_FRAME_GREY, 2}, {4, ORV_FRAME_NATIVE, 2},
                 {2, ORV_FRAME_BGR, 6}, {3, ORV_FRAME_BGR, 6}, {3, ORV_FRAME_NATIVE, 4}};
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const int rc = LivePicture(api, cases[i].camera, cases[i].type, kBufferSize, &w, &h, &n);
        CHECK(rc == ORV_OK && w == 640 && h == 360 && n == w * h * cases[i].bytesPerPixelTimes2 / 2,
              "camera %d type %d: rc %d %dx%d %d bytes", cases[i].camera, cases[i].type, rc, w, h, n);
        /* Decoded pictures (the MPEG-4 and H.264 cameras go through the plug-in) are not blank. */
        int distinct = 0;
        for (int k = 1; rc == ORV_OK && k < n && distinct < 16; k += 997) distinct += buffer[k] != buffer[0];
        CHECK(distinct > 0, "camera %d type %d: blank picture", cases[i].camera, cases[i].type);
    }
    /* A buffer too small: -6, and the size needed is still reported. */
    const int rc = LivePicture(api, 1, ORV_FRAME_BGR, 1000, &w, &h, &n);
    CHECK(rc == ORV_E_BUFFER_TOO_SMALL && n == 640 * 360 * 3, "small buffer: rc %d, %d bytes", rc, n);
}

static void Archive(const Api* api) {
    double begin = 0, end = 0;
    CHECK(api->VideoArchiveOpen(1) == ORV_OK, "archive open");
    CHECK(api->VideoArchiveGetInfo(&begin, &end) == ORV_OK && begin > 40000 && end - begin > 500.0 / 86400,
          "range %f..%f", begin, end);
    const double seekTo = begin + (end - begin) / 2;
    CHECK(api->VideoArchiveFindData(seekTo, 0) == ORV_OK, "seek");
    /* Parameter 2 non-zero: reading forward from the position. */
    const int cameras[] = {1, 2};
    int seen[8] = {0};
    double last = 0;
    int ordered = 1, read = 0;
    for (int i = 0; i < 60; ++i) {
        int camera = 0, w = 0, h = 0, n = 0;
        double time = 0;
        const int rc = api->VideoArchiveGetFrame(cameras, 2, ORV_FRAME_JPEG, 0, 1, buffer, kBufferSize, &camera, &time,
                                                 &w, &h, &n);
        if (rc != ORV_OK) continue;
        ++read;
        if (camera >= 1 && camera <= 7) seen[camera] = 1;
        if (time < last) ordered = 0;
        last = time;
        CHECK(time >= seekTo - 2.0 / 86400 && time < seekTo + 60.0 / 86400, "frame time %f after seek to %f", time,
              seekTo);
        CHECK(n > 100 && (unsigned char)buffer[0] == 0xFF, "archive camera %d: %d bytes", camera, n);
    }
    CHECK(read >= 30, "%d archive frames", read);
    CHECK(seen[1] && seen[2], "cameras seen: 1:%d 2:%d", seen[1], seen[2]);
    CHECK(ordered, "merged frames out of time order");
}

static void Plates(const Api* api) {
    CHECK(api->KeloEnablePlateDetect(1) == ORV_OK, "plates on");
    static unsigned char image[1 << 20];
    char number[32] = {0};
    int server = 0, camera = 0, w = 0, h = 0, n = 0;
    double time = 0;
    int rc = ORV_E_NO_PLATE;
    for (int i = 0; i < 300 && rc == ORV_E_NO_PLATE; ++i) {
        rc = api->KeloGetPlateNumber(number, &server, &camera, &time, ORV_FRAME_JPEG, 0, image, sizeof image, &w, &h,
                                     &n);
        if (rc == ORV_E_NO_PLATE) SleepMs(50);
    }
    CHECK(rc == ORV_OK && number[0] != 0 && camera == 1, "plate rc %d camera %d", rc, camera);
    CHECK(n > 100 && image[0] == 0xFF && image[1] == 0xD8 && w == 640 && h == 360, "plate picture %dx%d %d bytes", w,
          h, n);
    CHECK(api->KeloEnablePlateDetect(0) == ORV_OK, "plates off");
}

static int RunScenario(const Api* api, int port1, int port2) {
    OrvCameraInfo info;
    CHECK(api->CameraGetInfo(1, NULL) == ORV_E_INVALID_ARG, "null record before init");
    CHECK(api->ServersGetCount() == ORV_E_NOT_INITIALISED, "count before init");
    ConventionLoop(api, ORV_E_NOT_INITIALISED);
    CHECK(api->Init() == ORV_OK, "init");
    ConventionLoop(api, ORV_E_NOT_SUPPORTED);
    if (!Connect(api, port1, port2)) return 1;
    CHECK(api->ServersGetCount() == 2, "count %d", api->ServersGetCount());

    int first = 0, lastCamera = 0, count = 0;
    CHECK(api->ServerGetCameras(1, &first, &lastCamera, &count) == ORV_OK && first == 1 && lastCamera == 5 &&
              count == 5,
          "cameras %d..%d (%d)", first, lastCamera, count);
    char name[64];
    CHECK(api->CameraGetName(1, name, sizeof name) == ORV_OK && strcmp(name, "Gate 1") == 0, "name 1 '%s'", name);
    CHECK(api->CameraGetName(6, name, sizeof name) == ORV_OK && strcmp(name, "Yard") == 0, "name 6 '%s'", name);
    CHECK(api->CameraGetName(1, name, 6) == ORV_E_BUFFER_TOO_SMALL, "name into 6 bytes");
    CHECK(api->CameraGetInfo(3, &info) == ORV_OK && info.camera == 3 && info.active == 1, "info camera %d",
          info.camera);

    LiveFrames(api);
    Archive(api);
    Plates(api);
    CHECK(api->SetExternalEvent(1, 11, 22, 33, 44) == ORV_OK, "event");
    CHECK(api->CamTele(1, 7, 150, 30, 0x1234) == ORV_OK, "telemetry");

    CHECK(api->Uninit() == ORV_OK, "uninit");
    CHECK(api->ServersGetCount() == ORV_E_NOT_INITIALISED, "count after uninit");
    ConventionLoop(api, ORV_E_NOT_INITIALISED);
    return failures != 0;
}

/* Milliseconds per new 1080p live picture delivered as BGR (fetch, JPEG decode and
 * conversion) and as received (JPEG). Only calls that delivered a picture are timed:
 * between the camera's frames the library answers "no new frame" at once. The CPU
 * figure is the caller's thread over the whole loop, those short answers included. */
static int RunBench(const Api* api, int port, int frames) {
    if (api->Init() != ORV_OK || !Connect(api, port, 0)) return 1;
    const int types[] = {ORV_FRAME_JPEG, ORV_FRAME_BGR};
    for (int t = 0; t < 2; ++t) {
        int got = 0, w = 0, h = 0, n = 0;
        double time = 0, busy = 0, best = 1e9;
        const double deadline = NowMs() + 60000;
        const double cpuStart = ThreadCpuMs();
        while (got < frames && NowMs() < deadline) {
            const double start = NowMs();
            const int rc = api->VideoGetFrame(5, types[t], buffer, kBufferSize, &time, &w, &h, &n);
            const double took = NowMs() - start;
            if (rc == ORV_OK) {
                ++got;
                busy += took;
                if (took < best) best = took;
            } else {
                SleepMs(2);
            }
        }
        const double cpu = ThreadCpuMs() - cpuStart;
        printf("bench %s %dx%d: %.3f ms per picture, best %.3f, CPU %.3f ms per picture (%d pictures)\n",
               types[t] == ORV_FRAME_JPEG ? "jpeg" : "bgr", w, h, got ? busy / got : 0.0, best, got ? cpu / got : 0.0,
               got);
        if (got != frames) return 1;
    }
    api->Uninit();
    return 0;
}

int main(int argc, char** argv) {
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc < 4) {
        fprintf(stderr, "usage: %s e2e PORT1 PORT2 | leave PORT1 PORT2 | bench PORT FRAMES\n", argv[0]);
        return 2;
    }
    Api api;
    memset(&api, 0, sizeof api);
    if (!LoadApi(&api)) return 1;
    int rc = 2;
    if (strcmp(argv[1], "e2e") == 0) {
        rc = RunScenario(&api, atoi(argv[2]), atoi(argv[3]));
        printf("%s: %d failed checks\n", rc == 0 ? "OK" : "FAILED", failures);
    } else if (strcmp(argv[1], "leave") == 0) {
        /* A host that ends (after unloading the DLL, when loaded at run time) with the
         * library still initialised and connected must end promptly, not hang. */
        rc = api.Init() != ORV_OK || !Connect(&api, atoi(argv[2]), atoi(argv[3]));
        UnloadApi();
        printf("%s: leaving with the library initialised\n", rc == 0 && failures == 0 ? "OK" : "FAILED");
        rc = rc || failures != 0;
    } else if (strcmp(argv[1], "bench") == 0) {
        rc = RunBench(&api, atoi(argv[2]), atoi(argv[3]));
    }
    return rc;
}
