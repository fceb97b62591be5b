// Compressed blocks come straight from the servers: parsing must refuse anything
// malformed without reading outside the block, and what it accepts must be
// consistent with the bytes it was given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/GoodInput.h"
#include "video/Sequence.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

void CheckAccepted(const processing::Sequence& s, const uint8_t* data, size_t size, bool copy) {
    Check(!s.times.empty());
    Check(s.kind == processing::kKindMpeg4 || s.kind == processing::kKindAvc);
    Check(s.consumed == 0 && s.next == 0 && s.fed == 0);
    Check(s.times.size() <= size / 8);
    const uint8_t* payload = s.PayloadData();
    const size_t length = static_cast<size_t>(s.PayloadSize());
    Check(payload != nullptr && length >= 4 && length <= size);
    Check(processing::PayloadKind(payload, length) != processing::kKindNone);
    if (copy) {
        Check(s.payloadPointer == nullptr);
    } else {
        Check(payload >= data && payload + length <= data + size);
    }
    // Touch every byte so the sanitizer sees any stray range.
    volatile uint8_t sink = 0;
    for (size_t i = 0; i < length; ++i) sink = sink ^ payload[i];
    for (double t : s.times) sink = sink ^ static_cast<uint8_t>(t == t);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static processing::Sequence reused;  // also exercises reset of a used sequence
    for (bool copy : {true, false}) {
        if (processing::ParseBlock(data, size, &reused, copy)) {
            CheckAccepted(reused, data, size, copy);
        }
        processing::Sequence fresh;
        const bool accepted = processing::ParseBlock(data, size, &fresh, copy);
        Check(accepted == processing::ParseBlock(data, size, &reused, copy));
        if (accepted) {
            // Bitwise: time stamps may be NaN.
            Check(fresh.times.size() == reused.times.size() &&
                  std::memcmp(fresh.times.data(), reused.times.data(), fresh.times.size() * sizeof(double)) == 0);
            Check(fresh.kind == reused.kind && fresh.frameRate == reused.frameRate);
            Check(fresh.frameRate >= 0);
        }
    }
    // The sequence that just saw the fuzz input takes a good block as always.
    static const std::vector<uint8_t> good = orv_fuzz::Seed("tests/fuzz/corpus/fuzz_video_parseblock/table_mpeg4");
    static const size_t goodFrames = [] {
        processing::Sequence first;
        Check(processing::ParseBlock(good.data(), good.size(), &first, true));
        return first.times.size();
    }();
    for (bool copy : {true, false}) {
        Check(processing::ParseBlock(good.data(), good.size(), &reused, copy));
        CheckAccepted(reused, good.data(), good.size(), copy);
        Check(reused.times.size() == goodFrames);
    }
    return 0;
}
