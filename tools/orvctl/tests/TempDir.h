// Scratch directories for tests.
#pragma once

#include <string>

namespace orvctl::test {

// A fresh empty directory under the system's temporary directory.
std::string MakeTempDir(const std::string& prefix);

}  // namespace orvctl::test
