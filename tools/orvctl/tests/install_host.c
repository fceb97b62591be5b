/* A minimal host built against the installed package: initialise, check the codes a
 * host relies on without any server, uninitialise. Exit status 0 only when they hold. */
#include <orv_sdk.h>
#include <stdio.h>

int main(void) {
    int state = -1;
    if (ORV_ServersGetCount() != ORV_E_NOT_INITIALISED) {
        fprintf(stderr, "expected ORV_E_NOT_INITIALISED before ORV_Init\n");
        return 1;
    }
    if (ORV_Init() != ORV_OK || ORV_ServersGetCount() != 0) {
        fprintf(stderr, "ORV_Init or ORV_ServersGetCount failed\n");
        return 1;
    }
    if (ORV_ServerGetState(1, &state) != ORV_E_FAILED) {
        fprintf(stderr, "a state for a server that was never added\n");
        return 1;
    }
    ORV_Uninit();
    printf("host: ok\n");
    return 0;
}
