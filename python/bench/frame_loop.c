/*
 * The C side of frame_overhead.py: ORV_VideoGetFrame in a loop, round robin over
 * the cameras of one server, for a given time.
 *
 *   frame_loop PORT SECONDS FRAME_TYPE CAMERA...
 *
 * Prints "pictures N seconds S" for the timed part (after one warm-up round).
 */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "orv_sdk.h"

static double Now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: frame_loop PORT SECONDS FRAME_TYPE CAMERA...\n");
        return 2;
    }
    const int port = atoi(argv[1]);
    const double seconds = atof(argv[2]);
    const int type = atoi(argv[3]);
    const int cameraCount = argc - 4;
    unsigned size = 8u << 20;
    char* buffer = malloc(size);
    double time = 0;
    int width = 0, height = 0, length = 0, server = 0;

    ORV_Init();
    ORV_ServerAddEx("127.0.0.1", port, 0, 0, "", &server);
    ORV_ServersConnect();
    for (int i = 0; i < cameraCount; ++i) {  /* warm-up: decoders, buffers */
        ORV_VideoGetFrame(atoi(argv[4 + i]), type, buffer, size, &time, &width, &height, &length);
    }
    long pictures = 0;
    const double start = Now();
    double elapsed = 0;
    for (long call = 0; elapsed < seconds; ++call) {
        const int camera = atoi(argv[4 + call % cameraCount]);
        int rc = ORV_VideoGetFrame(camera, type, buffer, size, &time, &width, &height, &length);
        if (rc == ORV_E_BUFFER_TOO_SMALL) {
            size = (unsigned)length;
            buffer = realloc(buffer, size);
            rc = ORV_VideoGetFrame(camera, type, buffer, size, &time, &width, &height, &length);
        }
        if (rc == ORV_OK) ++pictures;
        elapsed = Now() - start;
    }
    printf("pictures %ld seconds %.6f\n", pictures, elapsed);
    free(buffer);
    ORV_Uninit();
    return 0;
}
