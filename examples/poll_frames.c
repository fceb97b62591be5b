/*
 * Polling a camera's live pictures faster than it delivers them.
 *
 *   poll_frames [address [port [password [camera [calls]]]]]
 *
 * What ORV_VideoGetFrame answers when the camera has no newer picture than the one
 * handed out last:
 *
 *   ORV_FRAME_JPEG (1) from a camera    ORV_OK with the same JPEG again and the same
 *   that sends JPEG                     time: a repeat is told apart by its time.
 *   ORV_FRAME_BGR (3), the other        ORV_E_NO_FRAME (-8) until a newer picture has
 *   decoded types, and JPEG from an     come: keep showing the last one and ask again.
 *   MPEG-4 or H.264 camera
 *
 * The last picture handed out is one per camera, whatever its type, so a loop that
 * mixes types on one camera sees -8 for JPEG too. This program keeps them apart.
 *
 * The program polls one camera every 10 ms, first `calls` times as JPEG, then `calls`
 * times as BGR, and counts new pictures, repeats and "no frame" answers for each.
 */
#define _POSIX_C_SOURCE 199309L /* nanosleep */

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "orv_sdk.h"

struct Tally {
    int fresh;   /* a picture newer than the last one */
    int repeat;  /* ORV_OK with the last picture again */
    int noFrame; /* ORV_E_NO_FRAME: nothing newer yet */
    int other;   /* any other result */
};

static void Pause10ms(void) {
    struct timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, NULL);
}

/* One call; grows the buffer once when the library says it is too small. */
static int GetFrame(int camera, int type, char** buffer, unsigned* size, double* time) {
    int width = 0, height = 0, length = 0;
    int result = ORV_VideoGetFrame(camera, type, *buffer, *size, time, &width, &height, &length);
    if (result == ORV_E_BUFFER_TOO_SMALL && length > 0) {
        char* bigger = realloc(*buffer, (size_t)length);
        if (bigger == NULL) {
            return result;
        }
        *buffer = bigger;
        *size = (unsigned)length;
        result = ORV_VideoGetFrame(camera, type, *buffer, *size, time, &width, &height, &length);
    }
    return result;
}

static struct Tally Poll(int camera, int type, int calls, char** buffer, unsigned* size) {
    struct Tally tally = {0, 0, 0, 0};
    double last = -1.0;
    int i;
    for (i = 0; i < calls; ++i) {
        double time = 0.0;
        int result = GetFrame(camera, type, buffer, size, &time);
        if (result == ORV_OK && time == last) {
            ++tally.repeat; /* JPEG: the picture we already have */
        } else if (result == ORV_OK) {
            ++tally.fresh;  /* show it */
            last = time;
        } else if (result == ORV_E_NO_FRAME) {
            ++tally.noFrame; /* decoded types: keep the last picture */
        } else {
            ++tally.other;
        }
        Pause10ms();
    }
    return tally;
}

int main(int argc, char** argv) {
    const char* address = argc > 1 ? argv[1] : "127.0.0.1";
    int port = argc > 2 ? atoi(argv[2]) : 5001;
    const char* password = argc > 3 ? argv[3] : "";
    int camera = argc > 4 ? atoi(argv[4]) : 1;
    int calls = argc > 5 ? atoi(argv[5]) : 100;
    int server = 0, state = 0;
    unsigned size = 1u << 20;
    char* buffer = malloc(size);
    struct Tally jpeg, bgr;

    if (buffer == NULL || ORV_Init() != ORV_OK) {
        return 1;
    }
    if (ORV_ServerAddEx(address, port, 0, 0, password, &server) != ORV_OK) {
        fprintf(stderr, "server could not be registered\n");
        ORV_Uninit();
        free(buffer);
        return 1;
    }
    ORV_ServersConnect();
    ORV_ServerGetState(server, &state);
    if (state != ORV_STATE_CONNECTED) {
        fprintf(stderr, "%s:%d is not connected (state %d)\n", address, port, state);
        ORV_Uninit();
        free(buffer);
        return 2;
    }
    jpeg = Poll(camera, ORV_FRAME_JPEG, calls, &buffer, &size);
    bgr = Poll(camera, ORV_FRAME_BGR, calls, &buffer, &size);
    printf("camera %d, %d calls each, 10 ms apart\n", camera, calls);
    printf("  JPEG: %3d new, %3d repeated (result 0), %3d no frame (-8), %3d other\n", jpeg.fresh,
           jpeg.repeat, jpeg.noFrame, jpeg.other);
    printf("  BGR:  %3d new, %3d repeated (result 0), %3d no frame (-8), %3d other\n", bgr.fresh,
           bgr.repeat, bgr.noFrame, bgr.other);
    ORV_Uninit();
    free(buffer);
    return jpeg.fresh > 0 && bgr.fresh > 0 ? 0 : 3;
}
