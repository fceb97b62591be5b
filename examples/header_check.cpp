// The public header must compile alone in C++, with C linkage for every export.
#include "orv_sdk.h"

#include <type_traits>

static_assert(sizeof(OrvCameraInfo) == 32);
static_assert(std::is_same_v<decltype(&ORV_Init), int (*)()>);

int OrvHeaderCheckCxx() { return ORV_E_NOT_SUPPORTED; }
