/* The public header must compile alone in strict C89 and C99, the result-code list
 * included. */
#include "orv_sdk.h"

#define ORV_CHECK_ROW(name, text) {name, #name, text},
static const struct {
    int code;
    const char* name;
    const char* text;
} orv_check_codes[] = {ORV_RESULT_CODES(ORV_CHECK_ROW)};
#undef ORV_CHECK_ROW

int orv_header_check_c(void) {
    return (int)sizeof(OrvCameraInfo) + ORV_OK + orv_check_codes[0].code;
}
