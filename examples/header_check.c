/* The public header must compile alone in strict C99. */
#include "orv_sdk.h"

int orv_header_check_c(void) { return (int)sizeof(OrvCameraInfo) + ORV_OK; }
