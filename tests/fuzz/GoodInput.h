// Known-good inputs of the fuzz targets: seed files read once, so that after
// every fuzz input a target can show that the same object still takes good data.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace orv_fuzz {

// The bytes of a seed file below ORV_FUZZ_SEED_ROOT (the source tree); aborts
// when it is missing or empty, since the check would be meaningless.
inline std::vector<uint8_t> Seed(const std::string& relativePath) {
    std::ifstream in(std::string(ORV_FUZZ_SEED_ROOT) + "/" + relativePath, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) std::abort();
    return bytes;
}

}  // namespace orv_fuzz
