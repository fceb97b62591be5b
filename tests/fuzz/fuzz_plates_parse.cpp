// Plate message texts come straight from the servers: any byte string must parse or
// be rejected without crashing, and an accepted record must keep its invariants.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz/GoodInput.h"
#include "plates/PlateMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto record = ParsePlateMessage(text, 7);
    if (record) {
        if (record->camera < 1 || record->camera > 2048 || record->server != 7) std::abort();
        if (!std::isfinite(record->time) || record->frame.has_value()) std::abort();
        for (const auto& [key, value] : record->attributes) {
            for (char c : key) {
                if (c >= 'A' && c <= 'Z') std::abort();
            }
        }
    }
    // The time stamp parser on its own, on the whole input.
    if (!std::isfinite(ParseTimeStamp(text))) std::abort();
    // A good message right after must parse as always.
    static const std::vector<uint8_t> seed = orv_fuzz::Seed("tests/fuzz/corpus/fuzz_plates_parse/worked_example");
    const auto good = ParsePlateMessage(std::string_view(reinterpret_cast<const char*>(seed.data()), seed.size()), 7);
    if (!good || good->camera != 5 || good->server != 7) std::abort();
    return 0;
}
