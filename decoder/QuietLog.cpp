#include "QuietLog.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>

namespace vevid {
namespace {

thread_local int tQuietDepth = 0;

void FilteredLog(void* context, int level, const char* format, va_list args) {
    if (tQuietDepth > 0) return;
    av_log_default_callback(context, level, format, args);
}

}  // namespace

void InstallQuietLog() { av_log_set_callback(FilteredLog); }

QuietScope::QuietScope() { ++tQuietDepth; }

QuietScope::~QuietScope() { --tQuietDepth; }

}  // namespace vevid
