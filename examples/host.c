/*
 * A minimal host program on the public C interface only.
 *
 *   host [address [port [password]]]
 *
 * Registers one recording server, connects, lists its cameras with their names and
 * states, fetches one JPEG picture of the first camera and disconnects.
 */
#define _POSIX_C_SOURCE 199309L /* nanosleep */

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "orv_sdk.h"

static void Pause100ms(void) {
    struct timespec pause = {0, 100 * 1000 * 1000};
    nanosleep(&pause, NULL);
}

static const char* StateName(int state) {
    switch (state) {
        case ORV_STATE_IDLE: return "idle";
        case ORV_STATE_CONNECTING: return "connecting";
        case ORV_STATE_FAILED: return "failed";
        case ORV_STATE_CONNECTED: return "connected";
        case ORV_STATE_UNREACHABLE: return "unreachable";
        case ORV_STATE_REFUSED: return "refused";
        default: return "unknown";
    }
}

static int ListCameras(int server) {
    int first = 0, last = 0, count = 0, camera = 0;
    int result = ORV_ServerGetCameras(server, &first, &last, &count);
    if (result != ORV_OK) {
        printf("server %d: no camera list (%d)\n", server, result);
        return 0;
    }
    printf("server %d: cameras %d..%d (%d)\n", server, first, last, count);
    for (camera = first; count > 0 && camera <= last; ++camera) {
        char name[128];
        OrvCameraInfo info;
        if (ORV_CameraGetName(camera, name, sizeof name) != ORV_OK) {
            name[0] = '\0';
        }
        if (ORV_CameraGetInfo(camera, &info) != ORV_OK) {
            info.active = 0;
        }
        printf("  %4d  %-24s %s\n", camera, name, info.active ? "active" : "inactive");
    }
    return count > 0 ? first : 0;
}

static void FetchPicture(int camera) {
    static char picture[8 * 1024 * 1024];
    double time = 0.0;
    int width = 0, height = 0, size = 0;
    int result = ORV_VideoGetFrame(camera, ORV_FRAME_JPEG, picture, sizeof picture, &time, &width, &height, &size);
    if (result == ORV_OK) {
        printf("camera %d: %dx%d JPEG, %d bytes, time %.6f\n", camera, width, height, size, time);
    } else {
        printf("camera %d: no picture (%d)\n", camera, result);
    }
}

int main(int argc, char** argv) {
    const char* address = argc > 1 ? argv[1] : "127.0.0.1";
    int port = argc > 2 ? atoi(argv[2]) : 5001;
    const char* password = argc > 3 ? argv[3] : "";
    int server = 0, state = 0, firstCamera = 0, tries = 0;

    if (ORV_Init() != ORV_OK) {
        fprintf(stderr, "library could not be initialised\n");
        return 1;
    }
    if (ORV_ServerAddEx(address, port, 0, 0, password, &server) != ORV_OK) {
        fprintf(stderr, "server could not be registered\n");
        ORV_Uninit();
        return 1;
    }
    ORV_ServersConnect();
    /* A server that is slow to answer is still connecting when ORV_ServersConnect
     * returns; the library finishes in the background. Wait up to 5 s for it. */
    for (tries = 0; tries < 50; ++tries) {
        int first = 0, last = 0, count = 0;
        ORV_ServerGetState(server, &state);
        if (state == ORV_STATE_CONNECTED && ORV_ServerGetCameras(server, &first, &last, &count) == ORV_OK) {
            break;
        }
        if (state != ORV_STATE_CONNECTING && state != ORV_STATE_CONNECTED && state != ORV_STATE_IDLE) {
            break;
        }
        Pause100ms();
    }
    printf("%s:%d is %s\n", address, port, StateName(state));
    if (state == ORV_STATE_CONNECTED) {
        /* After connecting, the handle of the first server is 1. */
        firstCamera = ListCameras(1);
        if (firstCamera > 0) {
            FetchPicture(firstCamera);
        }
    }
    ORV_ServersDisconnect();
    ORV_Uninit();
    return state == ORV_STATE_CONNECTED ? 0 : 2;
}
