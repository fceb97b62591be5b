// Builds TableBlock and ChainBlock bytes for the storage tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "video/Sequence.h"

namespace storage_test {

inline constexpr double kMs = 1.0 / 86'400'000.0;  // one millisecond in days

inline void PutU32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void PutF64(std::vector<uint8_t>& out, size_t at, double v) {
    uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof(bits));
    PutU32(out, at, static_cast<uint32_t>(bits));
    PutU32(out, at + 4, static_cast<uint32_t>(bits >> 32));
}

// A payload of `size` bytes that begins with the start code of `kind`.
inline std::vector<uint8_t> Payload(int32_t kind, size_t size, uint8_t fill = 0x5A) {
    std::vector<uint8_t> p(size, fill);
    const std::vector<uint8_t> code = kind == processing::kKindAvc ? std::vector<uint8_t>{0, 0, 0, 1}
                                                                   : std::vector<uint8_t>{0, 0, 1, 0xB6};
    for (size_t i = 0; i < code.size() && i < size; ++i) p[i] = code[i];
    return p;
}

inline std::vector<uint8_t> TableBlock(const std::vector<double>& times, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> b(28 + 8 * times.size() + payload.size(), 0);
    PutU32(b, 0, processing::kTableBlockMagic);
    PutU32(b, 8, static_cast<uint32_t>(payload.size()));
    PutU32(b, 20, static_cast<uint32_t>(times.size()));
    for (size_t i = 0; i < times.size(); ++i) PutF64(b, 28 + 8 * i, times[i]);
    if (!payload.empty()) std::memcpy(b.data() + 28 + 8 * times.size(), payload.data(), payload.size());
    return b;
}

// `count` frames at `intervalMs` from `first`, with a payload of `payloadSize` bytes.
inline std::vector<uint8_t> TableBlock(double first, int count, double intervalMs, size_t payloadSize = 64,
                                       int32_t kind = processing::kKindMpeg4) {
    std::vector<double> times;
    for (int i = 0; i < count; ++i) times.push_back(first + i * intervalMs * kMs);
    return TableBlock(times, Payload(kind, payloadSize));
}

struct ChainRecord {
    double time;
    std::vector<uint8_t> payload;
    int64_t announced = -1;  // payload length written in the header; -1: the real one
};

inline std::vector<uint8_t> ChainBlock(const std::vector<ChainRecord>& records) {
    std::vector<uint8_t> b;
    for (const ChainRecord& r : records) {
        const size_t at = b.size();
        b.resize(at + 24 + r.payload.size(), 0);
        PutU32(b, at, processing::kChainBlockMagic);
        PutF64(b, at + 8, r.time);
        PutU32(b, at + 16, static_cast<uint32_t>(r.announced < 0 ? static_cast<int64_t>(r.payload.size()) : r.announced));
        if (!r.payload.empty()) std::memcpy(b.data() + at + 24, r.payload.data(), r.payload.size());
    }
    return b;
}

}  // namespace storage_test
