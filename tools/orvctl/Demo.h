// `orvctl demo`: simulated servers in-process, then every feature of the library in turn.
#pragma once

#include <string>

#include "Commands.h"

namespace orvctl {

struct DemoOptions {
    std::string outputDir = "orv-demo";
    std::chrono::milliseconds connectTimeout{15000};
    std::chrono::milliseconds frameTimeout{4000};
    std::chrono::milliseconds plateWait{4000};
};

enum class StepStatus { Ok, Skipped, Failed };

struct DemoStep {
    std::string name;
    StepStatus status = StepStatus::Ok;
    double milliseconds = 0;
    std::string detail;
};

// Runs the demo and prints its summary; the exit status is 0 only when no step failed.
int RunDemo(const DemoOptions& options, const Output& io);

}  // namespace orvctl
