// Runs orvctl as a separate process, the way a person or a script would.
#pragma once

#include <string>
#include <vector>

#include "TempDir.h"

namespace orvctl::test {

struct ProcessResult {
    int exitCode = -1;  // -1 when the process did not exit normally
    std::string out;
    std::string err;
};

// Runs the orvctl under test with the arguments, in workDir (current directory when
// empty); killed after timeoutSeconds.
ProcessResult RunOrvctl(const std::vector<std::string>& args, const std::string& workDir = {},
                        int timeoutSeconds = 60);

}  // namespace orvctl::test
