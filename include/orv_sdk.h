/*
 * orv_sdk.h - public C interface of the ORV client library (libOrvSdk.so / OrvSdkDll.dll).
 *
 * The library talks to up to 31 recording servers over TCP. Cameras are numbered
 * 1..2048 across all servers. Every function returns an int result code (ORV_OK
 * on success, a negative ORV_E_* code otherwise) unless documented differently.
 * Every function may be called from any thread. Calls run at once; a call waits only
 * for the servers it concerns, so one slow or silent server does not hold up calls
 * about the others. ORV_Init and ORV_Uninit wait for the calls in flight.
 *
 * Times are OLE Automation dates: days since 1899-12-30 00:00 as a double, the time
 * of day as the fractional part (1970-01-01 00:00 is 25569.0). Frame times are UTC.
 */
#ifndef ORV_SDK_H
#define ORV_SDK_H

/* OLE dates: 1970-01-01 00:00 as an OLE date, and the milliseconds of one day.
 * Unix milliseconds to OLE: ORV_OLE_UNIX_EPOCH + ms / ORV_MS_PER_DAY. */
#define ORV_OLE_UNIX_EPOCH 25569.0
#define ORV_MS_PER_DAY 86400000.0

#ifdef __cplusplus
extern "C" {
#endif

/* Calling convention: the callee cleans the stack on 32-bit Windows, nothing elsewhere. */
#if defined(_WIN32) && !defined(_WIN64)
#define ORV_CALL __stdcall
#else
#define ORV_CALL
#endif

#if defined(_WIN32)
#if defined(ORV_SDK_BUILDING)
/* The DLL's export list is its .def file (plain names, no @bytes); dllexport here
 * would add the decorated names as well. */
#define ORV_API
#else
#define ORV_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define ORV_API __attribute__((visibility("default")))
#else
#define ORV_API
#endif

/* Result codes. The comment after each says when it is answered. */
#define ORV_OK 0
#define ORV_E_FAILED (-1)            /* failure, not found, lock busy, server refused */
#define ORV_E_INVALID_ARG (-5)       /* null pointer, zero count, camera out of range */
#define ORV_E_BUFFER_TOO_SMALL (-6)  /* caller's buffer too small; needed size is reported */
#define ORV_E_DUPLICATE (-7)         /* a server with this address and port is registered */
#define ORV_E_NO_FRAME (-8)          /* no frame available */
#define ORV_E_CAMERA_INACTIVE (-9)   /* server connected, camera not active */
#define ORV_E_UNKNOWN_CAMERA (-12)   /* unknown camera (camera information) */
#define ORV_E_NOT_DECODABLE (-21)    /* archive picture could not be decoded */
#define ORV_E_NO_PLATE (-300)        /* no plate record available */
#define ORV_E_NOT_READY (-510)       /* protocol client not ready */
#define ORV_E_NOT_INITIALISED (-513) /* ORV_Init has not been called */
#define ORV_E_NOT_SUPPORTED (-600)   /* not supported (window functions) */

/* Every result code above with a one-line text for people, as an X-macro: one
 * X(name, text) per code. name expands to the code's value and #name gives its
 * name, so a host builds whatever table it needs without copying the list:
 *
 *   #define ORV_CODE_ROW(name, text) {name, #name, text},
 *   static const struct { int code; const char* name; const char* text; } codes[] = {
 *       ORV_RESULT_CODES(ORV_CODE_ROW)
 *   };
 *
 * A code added above is added here as well. */
#define ORV_RESULT_CODES(X)                                                            \
    X(ORV_OK, "success")                                                               \
    X(ORV_E_FAILED, "failed, not found, or the library was busy")                      \
    X(ORV_E_INVALID_ARG, "invalid argument or camera out of range")                    \
    X(ORV_E_BUFFER_TOO_SMALL, "buffer too small")                                      \
    X(ORV_E_DUPLICATE, "a server with this address and port is already registered")    \
    X(ORV_E_NO_FRAME, "no frame available")                                            \
    X(ORV_E_CAMERA_INACTIVE, "camera not active on a connected server")                \
    X(ORV_E_UNKNOWN_CAMERA, "unknown camera")                                          \
    X(ORV_E_NOT_DECODABLE, "archive picture could not be decoded")                     \
    X(ORV_E_NO_PLATE, "no plate record available")                                     \
    X(ORV_E_NOT_READY, "protocol client not ready")                                    \
    X(ORV_E_NOT_INITIALISED, "library not initialised")                                \
    X(ORV_E_NOT_SUPPORTED, "not supported")

/* Server states reported by ORV_ServerGetState. */
#define ORV_STATE_IDLE 0
#define ORV_STATE_CONNECTING 1
#define ORV_STATE_FAILED 2
#define ORV_STATE_CONNECTED 3
#define ORV_STATE_UNREACHABLE 5
#define ORV_STATE_REFUSED 6

/* Frame types of ORV_VideoGetFrame, ORV_VideoArchiveGetFrame and the plate pictures.
 * Pictures are packed, rows top to bottom; "native" is YUYV for a colour camera and
 * grey (1 byte per pixel) for a grey camera. The table below says exactly what each
 * type gives where. */
#define ORV_FRAME_JPEG 1   /* a JPEG file (as received, or encoded from a decoded picture) */
#define ORV_FRAME_YUYV 2   /* live and archive: the native picture (YUYV: Y0 U Y1 V); plates: as received */
#define ORV_FRAME_BGR 3    /* 3 bytes per pixel: blue, green, red */
#define ORV_FRAME_NATIVE 4 /* the camera's native picture: YUYV or grey */
#define ORV_FRAME_GREY 5   /* live: grey, 1 byte per pixel; archive and plates: see the table */

/* What each frame type gives. A JPEG camera's server sends JPEG pictures (some with
 * block updates, which the decoded types lay over the picture); a video camera's sends
 * MPEG-4 or H.264, which the decoder plug-in decodes. Live video pictures come
 * one call late and are decoded to BGR first, so their YUYV is converted from BGR.
 * "As received" is the server's JPEG unchanged, with its width and height for type 1
 * and 0 for the others. Plate pictures are read from the
 * archive at the plate's time; an imageType <= 0 asks for none.
 *
 *  type      live (ORV_VideoGetFrame)       archive (ORV_VideoArchiveGetFrame)  plate picture (imageType)
 *  --------  -----------------------------  ----------------------------------  -------------------------
 *  1 JPEG    JPEG camera: as received,      JPEG camera: as received            as on the archive
 *            updates not laid over (a       video: the decoded picture encoded
 *            reply of updates alone: the    as JPEG, quality 78
 *            updated picture encoded as
 *            JPEG, quality 75)
 *            video: the decoded picture
 *            encoded as JPEG, quality 75
 *  2 YUYV    as 4                           as 4                                as 5
 *  3 BGR     BGR                            BGR                                 BGR
 *  4 NATIVE  JPEG camera: native            native                              native
 *            video: YUYV, also for grey
 *  5 GREY    grey                           JPEG camera: as received            as on the archive
 *                                           video: native
 *  other     JPEG camera: as 1              as 5                                as 5
 *            video: BGR
 */

/* Camera information filled by ORV_CameraGetInfo: 32 bytes, little-endian. */
#pragma pack(push, 1)
typedef struct OrvCameraInfo {
    int camera;                   /*  0: camera number (1-based) */
    int serverHandle;             /*  4: handle of the camera's server */
    double recordValue;           /*  8: 8-byte value at offset 8 of the camera record */
    double recordValue2;          /* 16: int32 at offset 16 of the camera record, as double */
    unsigned char recordByte0;    /* 24: byte 0 of the camera record */
    unsigned char status[4];      /* 25: bytes 0..3 of the camera's status entry */
    unsigned char flag32NonZero;  /* 29: 1 if the int16 at offset 32 of the record is non-zero */
    unsigned char active;         /* 30: camera active flag */
    unsigned char flag34Zero;     /* 31: 1 if the int16 at offset 34 of the record is zero */
} OrvCameraInfo;
#pragma pack(pop)

#if defined(__cplusplus)
static_assert(sizeof(OrvCameraInfo) == 32, "OrvCameraInfo must be 32 bytes");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(OrvCameraInfo) == 32, "OrvCameraInfo must be 32 bytes");
#else
typedef char orv_camera_info_size_check[(sizeof(OrvCameraInfo) == 32) ? 1 : -1];
#endif

/* ---- Library state ---------------------------------------------------------- */

/* Creates the library state: the server manager with its worker thread and the
 * decoding threads, the plate helper and the shared integration block. Idempotent:
 * ORV_OK when the state exists already. ORV_E_FAILED (-1) when the state cannot be
 * created (memory exhausted, a thread that cannot be started); a later call tries
 * again. A shared block the system refuses is no failure: the library works without it. */
ORV_API int ORV_CALL ORV_Init(void);
/* Disconnects everything and destroys the library state. Idempotent; always ORV_OK. */
ORV_API int ORV_CALL ORV_Uninit(void);

/* ---- Servers ---------------------------------------------------------------- */

/* Registers a server (host name or dotted IPv4). port < 1 means 5001, rateLimit < 1
 * (KiB/s) means 524288. Returns ORV_OK, -5 (null string), -7 (duplicate), -1 (31 servers). */
ORV_API int ORV_CALL ORV_ServerAdd(const char* address, int port, int rateLimit, int userValue,
                                   const char* password);
/* As ORV_ServerAdd; on success writes the server's 1-based position to *serverNumber. */
ORV_API int ORV_CALL ORV_ServerAddEx(const char* address, int port, int rateLimit, int userValue,
                                     const char* password, int* serverNumber);
/* Disconnects and forgets all servers. */
ORV_API int ORV_CALL ORV_ServersDelAll(void);
/* Connects every registered server, logs in and loads camera lists; keeps them connected. */
ORV_API int ORV_CALL ORV_ServersConnect(void);
/* Disconnects every server; the registrations stay. */
ORV_API int ORV_CALL ORV_ServersDisconnect(void);
/* Returns the number of registered servers (>= 0), or -1 / -513. */
ORV_API int ORV_CALL ORV_ServersGetCount(void);
/* Server's ORV_STATE_* by handle (or 1-based position when no handle matches). */
ORV_API int ORV_CALL ORV_ServerGetState(int server, int* state);
/* First and last camera number (1-based, inclusive) and camera count of a server. */
ORV_API int ORV_CALL ORV_ServerGetCameras(int serverHandle, int* firstCamera, int* lastCamera,
                                          int* cameraCount);

/* ---- Cameras ---------------------------------------------------------------- */

/* Fills the 32-byte camera information record. ORV_OK, -1, -5, -12. */
ORV_API int ORV_CALL ORV_CameraGetInfo(int camera, OrvCameraInfo* info);
/* Copies the camera's name, zero-terminated. -6 when size <= name length. */
ORV_API int ORV_CALL ORV_CameraGetName(int camera, char* buffer, unsigned size);

/* ---- Live frames ------------------------------------------------------------ */

/* Newest live picture of a camera in the ORV_FRAME_* type asked for. Writes time, width,
 * height and data size; returns -6 (sizes still written) when the data does not fit,
 * -8 when no frame is available. A damaged picture is never reported as one: when the
 * newest picture does not decode, the decoded types give -8, and the camera's next good
 * picture is delivered as usual.
 *
 * Asked again before the camera has a picture newer than the last one handed out:
 *   - ORV_FRAME_JPEG from a camera that sends JPEG: ORV_OK with the same JPEG again and
 *     the same time; compare the time with the previous one to tell a repeat.
 *   - the decoded types (YUYV, BGR, NATIVE, GREY), and ORV_FRAME_JPEG from an MPEG-4 or
 *     H.264 camera: ORV_E_NO_FRAME (-8) until a newer picture has come; keep the last one.
 * The last picture handed out is one per camera, whatever its type: after a decoded
 * picture, ORV_FRAME_JPEG of the same camera also gives -8 until a newer one has come.
 * examples/poll_frames.c is a polling loop that handles both answers. */
ORV_API int ORV_CALL ORV_VideoGetFrame(int camera, int frameType, char* buffer, unsigned size,
                                       double* time, int* width, int* height, int* dataSize);

/* ---- Archive ---------------------------------------------------------------- */

/* Non-zero low byte opens archive channel 0 on every connected server, zero closes it. */
ORV_API int ORV_CALL ORV_VideoArchiveOpen(int open);
/* Positions the archive of every server at time (direction passed to the servers). */
ORV_API int ORV_CALL ORV_VideoArchiveFindData(double time, int direction);
/* Earliest begin and latest end of the archive over all servers. */
ORV_API int ORV_CALL ORV_VideoArchiveGetInfo(double* begin, double* end);
/* Reads the next archive frame of the given cameras, merged across servers in time order.
 * A recorded JPEG that does not decode gives ORV_E_NOT_DECODABLE (-21) for the decoded types,
 * and the read after it goes on with the next picture; a damaged block of compressed video
 * gives -8 for the pictures it held. */
ORV_API int ORV_CALL ORV_VideoArchiveGetFrame(const int* cameras, unsigned cameraCount, int frameType,
                                              int param1, int param2, char* buffer, unsigned size,
                                              int* camera, double* time, int* width, int* height,
                                              int* dataSize);

/* ---- Licence plates --------------------------------------------------------- */

/* Switches polling for plate messages on (non-zero) or off. */
ORV_API int ORV_CALL ORV_KeloEnablePlateDetect(int enable);
/* Takes the oldest queued plate record. number must hold 32 bytes. imageType <= 0: no picture.
 * Returns ORV_OK, -5, -6 (picture too large, record consumed), -300 (none). */
ORV_API int ORV_CALL ORV_KeloGetPlateNumber(char* number, int* server, int* camera, double* time,
                                            int imageType, int offsetMs, unsigned char* image,
                                            unsigned imageCapacity, int* width, int* height,
                                            int* imageSize);
/* Latest plate record of a camera; maxAgeMs 0 accepts any age. */
ORV_API int ORV_CALL ORV_KeloGetLatestPlateNumber(int camera, char* number, int* server, double* time,
                                                  int imageType, int offsetMs, unsigned char* image,
                                                  unsigned imageCapacity, int* width, int* height,
                                                  int* imageSize, int maxAgeMs);

/* ---- Events, console, telemetry --------------------------------------------- */

/* Raises an external event for a camera with four values. */
ORV_API int ORV_CALL ORV_SetExternalEvent(int camera, int value1, int value2, int value3, int value4);
/* Raises a server-wide external event. */
ORV_API int ORV_CALL ORV_SetExternalEvent_X(int serverHandle, int value);
/* Switches a camera on a server's external console. */
ORV_API int ORV_CALL ORV_ExtPultSwitchCam(int serverHandle, int camera);
/* PTZ telemetry command; speeds are clamped to 0..99, only the low byte of value is sent. */
ORV_API int ORV_CALL ORV_CamTele(int camera, int command, int speed1, int speed2, int value);

/* ---- Viewer windows (not supported: -600 when initialised, else -513) -------- */

ORV_API int ORV_CALL ORV_WindowLiveShow(int a1, int a2, int a3, int a4, int a5, int a6, int a7, int a8);
ORV_API int ORV_CALL ORV_WindowLiveHide(int a1);
ORV_API int ORV_CALL ORV_WindowArchiveShow(int a1, int a2, int a3, int a4, int a5, int a6, int a7, int a8,
                                           int a9);
ORV_API int ORV_CALL ORV_WindowArchiveHide(void);

#ifdef __cplusplus
}
#endif

#endif /* ORV_SDK_H */
