// libavcodec reports damaged streams through its log, which by default goes to
// the process's stderr: the host's stderr, which a plug-in has no business
// writing to.  While one of our entry points runs on a thread, whatever
// libavcodec logs on that thread is dropped; messages from other users of
// libavcodec in the process go on to its default output as before.
#pragma once

namespace vevid {

// Routes libavcodec's log through the filter.  Called once when the plug-in is
// loaded; calling it again does no harm.
void InstallQuietLog();

// Marks the current thread as decoding for our plug-in while it lives.
class QuietScope {
public:
    QuietScope();
    ~QuietScope();
    QuietScope(const QuietScope&) = delete;
    QuietScope& operator=(const QuietScope&) = delete;
};

}  // namespace vevid
