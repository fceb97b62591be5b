#include "TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace orvctl::test {

std::string MakeTempDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    return pattern;
}

}  // namespace orvctl::test
