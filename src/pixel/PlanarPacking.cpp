#include "pixel/PlanarPacking.h"

#include <cstring>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define PIXEL_X86 1
#endif

namespace pixel {
namespace {

// ---- Range expansion --------------------------------------------------------------

// The expansion written out with exact integer arithmetic: the definition the
// tables hold and the fixed-point forms below must reproduce.
constexpr int64_t FloorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

constexpr int RoundedRatio(int64_t numerator, int64_t denominator) {
    // Half away from zero, so that the expansion is symmetric around its centre.
    const int64_t magnitude = FloorDiv(2 * (numerator < 0 ? -numerator : numerator) + denominator, 2 * denominator);
    return static_cast<int>(numerator < 0 ? -magnitude : magnitude);
}

constexpr uint8_t Clamp8(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

constexpr uint8_t ExactLuma(int y) { return Clamp8(RoundedRatio((y - 16) * 255, 219)); }
constexpr uint8_t ExactChroma(int c) { return Clamp8(128 + RoundedRatio((c - 128) * 255, 224)); }

// Byte-table lookups do not vectorise on x86, so the packing loops use a
// fixed-point form of the same mapping that fits 16-bit lanes:
// ((s << shift) + bias) * mul >> 16, minus an offset, clamped (a high-half
// multiply, a subtraction and a saturating pack per 8 or 16 samples). The
// constants were searched for so that all 256 inputs give the table's value;
// the static_asserts below hold them to that.
struct FixedPoint {
    uint32_t shift, bias, mul;
    int offset;
};
constexpr FixedPoint kLumaFixed{2, 3, 19077, 19};
constexpr FixedPoint kChromaFixed{4, 11, 4663, 18};

constexpr uint8_t Apply(const FixedPoint& f, uint8_t s) {
    const uint32_t widened = (static_cast<uint32_t>(s) << f.shift) + f.bias;  // < 2^16
    return Clamp8(static_cast<int>((widened * f.mul) >> 16) - f.offset);
}
inline uint8_t FastLuma(uint8_t y) { return Apply(kLumaFixed, y); }
inline uint8_t FastChroma(uint8_t c) { return Apply(kChromaFixed, c); }

// The AVX2 loop's own form: a sample s in the high byte of a 16-bit lane whose
// low byte is `bias` (one unpack instruction puts it there), then
// (((s << 8) | bias) * mul >> 16 >> shift) - offset, clamped by the saturating pack
// to bytes.
struct UnpackedFixedPoint {
    uint32_t bias, mul, shift;
    int offset;
};
constexpr UnpackedFixedPoint kLumaUnpacked{190, 9539, 5, 19};
constexpr UnpackedFixedPoint kChromaUnpacked{175, 4663, 4, 18};

constexpr uint8_t Apply(const UnpackedFixedPoint& f, uint8_t s) {
    const uint32_t lane = (static_cast<uint32_t>(s) << 8) | f.bias;
    return Clamp8(static_cast<int>(((lane * f.mul) >> 16) >> f.shift) - f.offset);
}

template <class Form>
constexpr bool MatchesExact(const Form& luma, const Form& chroma) {
    for (int s = 0; s < 256; ++s) {
        if (Apply(luma, static_cast<uint8_t>(s)) != ExactLuma(s)) return false;
        if (Apply(chroma, static_cast<uint8_t>(s)) != ExactChroma(s)) return false;
    }
    return true;
}
static_assert(MatchesExact(kLumaFixed, kChromaFixed), "fixed-point range expansion differs from the exact formula");
static_assert(MatchesExact(kLumaUnpacked, kChromaUnpacked),
              "unpacked fixed-point range expansion differs from the exact formula");
static_assert(ExactLuma(16) == 0 && ExactLuma(235) == 255 && ExactLuma(126) == 128);
static_assert(ExactChroma(16) == 0 && ExactChroma(128) == 128 && ExactChroma(240) == 255);

constexpr RangeTables BuildTables() {
    RangeTables t{};
    for (int s = 0; s < 256; ++s) {
        t.luma[s] = ExactLuma(s);
        t.chroma[s] = ExactChroma(s);
    }
    return t;
}
constexpr RangeTables kLimitedToFull = BuildTables();

// Packing with the expansion, in 16-bit lanes, for 2:1 horizontal subsampling.
// The plain loops define the result (and serve CPUs without AVX2); the compiler
// vectorises them only loosely (1080p 4:2:0: 0.41 ms against 0.26 ms for a plain
// interleave), so the AVX2 loop below is written out.
[[gnu::always_inline]] inline void ExpandPairs(const uint8_t* __restrict y, const uint8_t* __restrict u,
                                               const uint8_t* __restrict v, uint8_t* __restrict out, int pairs) {
    for (int i = 0; i < pairs; ++i) {
        out[4 * i + 0] = FastLuma(y[2 * i + 0]);
        out[4 * i + 1] = FastChroma(u[i]);
        out[4 * i + 2] = FastLuma(y[2 * i + 1]);
        out[4 * i + 3] = FastChroma(v[i]);
    }
}

[[gnu::always_inline]] inline void ExpandLuma(const uint8_t* __restrict y, uint8_t* __restrict out, int width) {
    for (int i = 0; i < width; ++i) out[i] = FastLuma(y[i]);
}

// One row, or two rows sharing their chroma row (4:2:0): `y1`/`out1` null for one.
void ExpandRowsBase(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, uint8_t* out0,
                    uint8_t* out1, int pairs) {
    ExpandPairs(y0, u, v, out0, pairs);
    if (y1 != nullptr) ExpandPairs(y1, u, v, out1, pairs);
}
void ExpandLumaBase(const uint8_t* y, uint8_t* out, int width) { ExpandLuma(y, out, width); }

#ifdef PIXEL_X86

// 32 samples of a 256-bit register, expanded; the result's bytes are ordered as
// `_mm256_packus_epi16` leaves them. The register's 64-bit quarters must come in
// the order 0, 2, 1, 3 (so that the in-lane unpacks take samples 0-15, then 16-31).
template <const UnpackedFixedPoint& F>
__attribute__((target("avx2"))) inline __m256i Expand32(__m256i quartersSwapped) {
    const __m256i bias = _mm256_set1_epi8(static_cast<char>(F.bias));
    const __m256i mul = _mm256_set1_epi16(static_cast<int16_t>(F.mul));
    const __m256i offset = _mm256_set1_epi16(static_cast<int16_t>(F.offset));
    const __m256i lo = _mm256_mulhi_epu16(_mm256_unpacklo_epi8(bias, quartersSwapped), mul);
    const __m256i hi = _mm256_mulhi_epu16(_mm256_unpackhi_epi8(bias, quartersSwapped), mul);
    return _mm256_packus_epi16(_mm256_sub_epi16(_mm256_srli_epi16(lo, F.shift), offset),
                               _mm256_sub_epi16(_mm256_srli_epi16(hi, F.shift), offset));
}

// 32 pixels a step. The expanded Y samples and the expanded, interleaved U and V
// samples come out of the pack in the same order, so the byte unpacks of the two
// give YUYV of pixels 0-15 and 16-31.
__attribute__((target("avx2"))) void ExpandRowsAvx2(const uint8_t* y0, const uint8_t* y1, const uint8_t* u,
                                                    const uint8_t* v, uint8_t* out0, uint8_t* out1, int pairs) {
    int i = 0;
    for (; i + 16 <= pairs; i += 16) {
        const __m128i us = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i));
        const __m128i vs = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
        const __m256i uv = _mm256_set_m128i(_mm_unpackhi_epi8(us, vs), _mm_unpacklo_epi8(us, vs));
        const __m256i c = Expand32<kChromaUnpacked>(_mm256_permute4x64_epi64(uv, 0xD8));
        for (int r = 0; r < 2; ++r) {
            const uint8_t* y = r == 0 ? y0 : y1;
            if (y == nullptr) break;  // a single row: the second has no pointers
            uint8_t* out = (r == 0 ? out0 : out1) + 4 * i;
            const __m256i ys = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + 2 * i));
            const __m256i l = Expand32<kLumaUnpacked>(_mm256_permute4x64_epi64(ys, 0xD8));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_unpacklo_epi8(l, c));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), _mm256_unpackhi_epi8(l, c));
        }
    }
    ExpandRowsBase(y0 + 2 * i, y1 != nullptr ? y1 + 2 * i : nullptr, u + i, v + i, out0 + 4 * i,
                   out1 != nullptr ? out1 + 4 * i : nullptr, pairs - i);
}

// Where the CPU has byte permutes (AVX-512 VBMI), the tables themselves: four
// 64-byte registers hold a 256-entry table, two two-register permutes look up
// the low and high halves and the top bit of each sample picks between them.
// 64 pixels a step; further byte permutes interleave U with V and Y with UV.
#define PIXEL_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))
struct ZmmTable {
    __m512i q[4];
};
PIXEL_VBMI inline ZmmTable LoadTable(const uint8_t (&table)[256]) {
    ZmmTable t;
    for (int i = 0; i < 4; ++i) t.q[i] = _mm512_loadu_si512(table + 64 * i);
    return t;
}
PIXEL_VBMI inline __m512i LookUp(const ZmmTable& t, __m512i s) {
    const __m512i low = _mm512_permutex2var_epi8(t.q[0], s, t.q[1]);
    const __m512i high = _mm512_permutex2var_epi8(t.q[2], s, t.q[3]);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(s), low, high);
}
// Byte permute indices over (a, b), a's bytes 0-63 and b's 64-127:
// [a0 b0 a1 b1 ... a31 b31] and [a32 b32 ... a63 b63].
struct InterleaveIndices {
    alignas(64) uint8_t first[64];
    alignas(64) uint8_t second[64];
};
constexpr InterleaveIndices BuildInterleave() {
    InterleaveIndices t{};
    for (int i = 0; i < 32; ++i) {
        t.first[2 * i] = static_cast<uint8_t>(i);
        t.first[2 * i + 1] = static_cast<uint8_t>(64 + i);
        t.second[2 * i] = static_cast<uint8_t>(32 + i);
        t.second[2 * i + 1] = static_cast<uint8_t>(96 + i);
    }
    return t;
}
constexpr InterleaveIndices kInterleave = BuildInterleave();

PIXEL_VBMI void ExpandRowsVbmi(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v,
                               uint8_t* out0, uint8_t* out1, int pairs) {
    const ZmmTable luma = LoadTable(kLimitedToFull.luma);
    const ZmmTable chroma = LoadTable(kLimitedToFull.chroma);
    const __m512i first = _mm512_load_si512(kInterleave.first);
    const __m512i second = _mm512_load_si512(kInterleave.second);
    int i = 0;
    for (; i + 32 <= pairs; i += 32) {
        const __m512i us = _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(u + i)));
        const __m512i vs = _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + i)));
        const __m512i c = LookUp(chroma, _mm512_permutex2var_epi8(us, first, vs));
        for (int r = 0; r < 2; ++r) {
            const uint8_t* y = r == 0 ? y0 : y1;
            if (y == nullptr) break;  // a single row: the second has no pointers
            uint8_t* out = (r == 0 ? out0 : out1) + 4 * i;
            const __m512i l = LookUp(luma, _mm512_loadu_si512(y + 2 * i));
            _mm512_storeu_si512(out, _mm512_permutex2var_epi8(l, first, c));
            _mm512_storeu_si512(out + 64, _mm512_permutex2var_epi8(l, second, c));
        }
    }
    ExpandRowsAvx2(y0 + 2 * i, y1 != nullptr ? y1 + 2 * i : nullptr, u + i, v + i, out0 + 4 * i,
                   out1 != nullptr ? out1 + 4 * i : nullptr, pairs - i);
}
PIXEL_VBMI void ExpandLumaVbmi(const uint8_t* y, uint8_t* out, int width) {
    const ZmmTable luma = LoadTable(kLimitedToFull.luma);
    int i = 0;
    for (; i + 64 <= width; i += 64) _mm512_storeu_si512(out + i, LookUp(luma, _mm512_loadu_si512(y + i)));
    ExpandLuma(y + i, out + i, width - i);
}
#undef PIXEL_VBMI
bool HasVbmi() { return __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bw"); }

__attribute__((target("avx2"))) void ExpandLumaAvx2(const uint8_t* y, uint8_t* out, int width) {
    ExpandLuma(y, out, width);
}
bool HasAvx2() { return __builtin_cpu_supports("avx2"); }
#else
void ExpandRowsAvx2(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, uint8_t* out0,
                    uint8_t* out1, int pairs) {
    ExpandRowsBase(y0, y1, u, v, out0, out1, pairs);
}
void ExpandLumaAvx2(const uint8_t* y, uint8_t* out, int width) { ExpandLuma(y, out, width); }
bool HasAvx2() { return false; }
void ExpandRowsVbmi(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, uint8_t* out0,
                    uint8_t* out1, int pairs) {
    ExpandRowsBase(y0, y1, u, v, out0, out1, pairs);
}
void ExpandLumaVbmi(const uint8_t* y, uint8_t* out, int width) { ExpandLuma(y, out, width); }
bool HasVbmi() { return false; }
#endif

struct Expanders {
    void (*rows)(const uint8_t*, const uint8_t*, const uint8_t*, const uint8_t*, uint8_t*, uint8_t*, int);
    void (*luma)(const uint8_t*, uint8_t*, int);
};

const Expanders& ChosenExpanders(Kernels kernels) {
    static const Expanders base{ExpandRowsBase, ExpandLumaBase};
    static const Expanders avx2 = HasAvx2() ? Expanders{ExpandRowsAvx2, ExpandLumaAvx2} : base;
    static const Expanders best = HasVbmi() ? Expanders{ExpandRowsVbmi, ExpandLumaVbmi} : avx2;
    switch (kernels) {
        case Kernels::Vector:
            return best;
        case Kernels::Avx2:
            return avx2;
        default:
            return base;
    }
}

// ---- Interleaving -----------------------------------------------------------------

// Pixels [from, width) of one row: the definition of every packed byte.
void PackRowScalar(const uint8_t* __restrict y, const uint8_t* __restrict u, const uint8_t* __restrict v,
                   uint8_t* __restrict dst, int from, int width, int hShift) {
    int x = from;
    for (; x + 1 < width; x += 2) {
        const int c0 = x >> hShift, c1 = (x + 1) >> hShift;
        dst[2 * x] = y[x];
        dst[2 * x + 1] = static_cast<uint8_t>((u[c0] + u[c1]) >> 1);
        dst[2 * x + 2] = y[x + 1];
        dst[2 * x + 3] = static_cast<uint8_t>((v[c0] + v[c1]) >> 1);
    }
    if (x < width) {
        dst[2 * x] = y[x];
        dst[2 * x + 1] = u[x >> hShift];
    }
}

// One shared U/V sample per pixel pair, for the even pixels of the row. Written as
// plain indexed loads and stores with restrict pointers so that the compiler turns
// it into byte interleaves (punpck / vpermb) at -O3, which measured faster than a
// hand-written SSE2 loop (1080p 4:2:0: 0.27 ms against 0.30 ms).
int InterleavePairs(const uint8_t* __restrict y, const uint8_t* __restrict u, const uint8_t* __restrict v,
                    uint8_t* __restrict dst, int width) {
    const int pairs = width / 2;
    for (int i = 0; i < pairs; ++i) {
        dst[4 * i + 0] = y[2 * i + 0];
        dst[4 * i + 1] = u[i];
        dst[4 * i + 2] = y[2 * i + 1];
        dst[4 * i + 3] = v[i];
    }
    return 2 * pairs;
}

#ifdef PIXEL_X86
// Y, U and V rows of equal width; each pair takes the floor average of its two U and two V samples.
__attribute__((target("sse2"))) int InterleaveAveragedSse2(const uint8_t* y, const uint8_t* u, const uint8_t* v,
                                                           uint8_t* dst, int width) {
    const __m128i lowByte = _mm_set1_epi16(0x00FF);
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m128i us = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + x));
        const __m128i vs = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + x));
        const __m128i uAvg = _mm_srli_epi16(_mm_add_epi16(_mm_and_si128(us, lowByte), _mm_srli_epi16(us, 8)), 1);
        const __m128i vAvg = _mm_srli_epi16(_mm_add_epi16(_mm_and_si128(vs, lowByte), _mm_srli_epi16(vs, 8)), 1);
        const __m128i uv = _mm_or_si128(uAvg, _mm_slli_epi16(vAvg, 8));
        const __m128i ys = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * x), _mm_unpacklo_epi8(ys, uv));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * x + 16), _mm_unpackhi_epi8(ys, uv));
    }
    return x;
}
#else
int InterleaveAveragedSse2(const uint8_t*, const uint8_t*, const uint8_t*, uint8_t*, int) { return 0; }
#endif

// How many leading pixels of a row the vector loops pack.
int PackRowVector(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* dst, int width, int hShift) {
    switch (hShift) {
        case 1:
            return InterleavePairs(y, u, v, dst, width);
        case 0:
            return InterleaveAveragedSse2(y, u, v, dst, width);
        default:
            return 0;
    }
}

// A full-range packed row expanded in place (shapes without a fused loop).
void ExpandPackedRow(uint8_t* row, int width) {
    for (int x = 0; x < width; ++x) {
        row[2 * x] = kLimitedToFull.luma[row[2 * x]];
        row[2 * x + 1] = kLimitedToFull.chroma[row[2 * x + 1]];
    }
}

// Row `y0` (and `y1` below it when not null, sharing the chroma row) expanded.
void PackRowsExpanded(const Planes& p, int row, bool two, uint8_t* out, Kernels kernels) {
    const size_t outStride = static_cast<size_t>(p.width) * 2;
    const uint8_t* u = p.u + (row >> p.vShift) * p.uStride;
    const uint8_t* v = p.v + (row >> p.vShift) * p.vStride;
    const uint8_t* y0 = p.y + row * p.yStride;
    const uint8_t* y1 = two ? y0 + p.yStride : nullptr;
    uint8_t* out0 = out + row * outStride;
    uint8_t* out1 = two ? out0 + outStride : nullptr;
    const int pairs = p.width / 2;
    ChosenExpanders(kernels).rows(y0, y1, u, v, out0, out1, pairs);
    if (p.width & 1) {
        for (int r = 0; r < (two ? 2 : 1); ++r) {
            out0[r * outStride + 4 * pairs + 0] = kLimitedToFull.luma[y0[r * p.yStride + 2 * pairs]];
            out0[r * outStride + 4 * pairs + 1] = kLimitedToFull.chroma[u[pairs]];
        }
    }
}

}  // namespace

const RangeTables& LimitedToFullTables() { return kLimitedToFull; }

void PackYuyv(const Planes& p, SampleRange range, uint8_t* out, Kernels kernels) {
    const size_t outStride = static_cast<size_t>(p.width) * 2;
    for (int row = 0; row < p.height; ++row) {
        const int chromaRow = row >> p.vShift;
        const uint8_t* y = p.y + row * p.yStride;
        const uint8_t* u = p.u + chromaRow * p.uStride;
        const uint8_t* v = p.v + chromaRow * p.vStride;
        uint8_t* d = out + row * outStride;
        if (range == SampleRange::Limited && p.hShift == 1) {
            // Rows that share a chroma row (4:2:0) are expanded together, the chroma once.
            const bool two = p.vShift == 1 && (row & 1) == 0 && row + 1 < p.height;
            PackRowsExpanded(p, row, two, out, kernels);
            row += two ? 1 : 0;
            continue;
        }
        const int done = kernels != Kernels::Scalar ? PackRowVector(y, u, v, d, p.width, p.hShift) : 0;
        PackRowScalar(y, u, v, d, done, p.width, p.hShift);
        if (range == SampleRange::Limited) {
            ExpandPackedRow(d, p.width);
        }
    }
}

void PackGrey(const uint8_t* y, ptrdiff_t yStride, int width, int height, SampleRange range, uint8_t* out,
              Kernels kernels) {
    const size_t rowBytes = static_cast<size_t>(width);
    for (int row = 0; row < height; ++row) {
        if (range == SampleRange::Limited) {
            ChosenExpanders(kernels).luma(y + row * yStride, out + row * rowBytes, width);
        } else {
            std::memcpy(out + row * rowBytes, y + row * yStride, rowBytes);
        }
    }
}

}  // namespace pixel
