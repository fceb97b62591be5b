#include "video/PixelKernels.h"

#include "video/PixelConvert.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ORV_AVX2 __attribute__((target("avx2")))

namespace processing::kernels {
namespace {

// trunc(k * d) for |d| <= 128 as sign(d) * floor((|d| << shift) * m / 65536);
// the multipliers were chosen so that every one of the 256 entries matches the
// tables exactly (checked at start-up by Avx2MatchesTables).
constexpr int kBlueUMul = 58064, kBlueUShift = 1;    // 1.772
constexpr int kGreenUMul = 22553, kGreenUShift = 0;  // 0.34414
constexpr int kGreenVMul = 46801, kGreenVShift = 0;  // 0.71414
constexpr int kRedVMul = 45940, kRedVShift = 1;      // 1.402

ORV_AVX2 inline __m256i TruncMul(__m256i d, __m256i absD, int mul, int shift) {
    const __m256i scaled = _mm256_slli_epi16(absD, shift);
    return _mm256_sign_epi16(_mm256_mulhi_epu16(scaled, _mm256_set1_epi16(static_cast<int16_t>(mul))), d);
}

// Sixteen B, G and R words (pixels 0-7 in the low lane, 8-15 in the high) to 48
// bytes of BGR; the unsigned saturation of the packing is the clamp to 0..255.
ORV_AVX2 inline void StoreBgr16(__m256i b, __m256i g, __m256i r, uint8_t* d) {
    const __m256i fromBgLo = _mm256_setr_epi8(0, 8, -1, 1, 9, -1, 2, 10, -1, 3, 11, -1, 4, 12, -1, 5, 0, 8,
                                              -1, 1, 9, -1, 2, 10, -1, 3, 11, -1, 4, 12, -1, 5);
    const __m256i fromRLo = _mm256_setr_epi8(-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1,
                                             -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1);
    const __m256i fromBgHi = _mm256_setr_epi8(13, -1, 6, 14, -1, 7, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                              13, -1, 6, 14, -1, 7, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i fromRHi = _mm256_setr_epi8(-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                             5, -1, -1, 6, -1, -1, 7, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i bg = _mm256_packus_epi16(b, g);
    const __m256i rr = _mm256_packus_epi16(r, r);
    const __m256i lo = _mm256_or_si256(_mm256_shuffle_epi8(bg, fromBgLo), _mm256_shuffle_epi8(rr, fromRLo));
    const __m256i hi = _mm256_or_si256(_mm256_shuffle_epi8(bg, fromBgHi), _mm256_shuffle_epi8(rr, fromRHi));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm256_castsi256_si128(lo));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d + 16), _mm256_castsi256_si128(hi));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 24), _mm256_extracti128_si256(lo, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d + 40), _mm256_extracti128_si256(hi, 1));
}

}  // namespace

ORV_AVX2 bool Avx2MatchesTables(const YuyvToBgrTables& t) {
    alignas(32) int16_t c[256], out[4][256];
    for (int i = 0; i < 256; ++i) {
        c[i] = static_cast<int16_t>(i - 128);
    }
    for (int i = 0; i < 256; i += 16) {
        const __m256i d = _mm256_load_si256(reinterpret_cast<const __m256i*>(c + i));
        const __m256i a = _mm256_abs_epi16(d);
        _mm256_store_si256(reinterpret_cast<__m256i*>(out[0] + i), TruncMul(d, a, kBlueUMul, kBlueUShift));
        _mm256_store_si256(reinterpret_cast<__m256i*>(out[1] + i), TruncMul(d, a, kGreenUMul, kGreenUShift));
        _mm256_store_si256(reinterpret_cast<__m256i*>(out[2] + i), TruncMul(d, a, kGreenVMul, kGreenVShift));
        _mm256_store_si256(reinterpret_cast<__m256i*>(out[3] + i), TruncMul(d, a, kRedVMul, kRedVShift));
    }
    for (int i = 0; i < 256; ++i) {
        if (out[0][i] != t.blueU[i] || out[1][i] != t.greenU[i] || out[2][i] != t.greenV[i] ||
            out[3][i] != t.redV[i]) {
            return false;
        }
    }
    return true;
}

// 16 pixels per step: 32 bytes of Yuyv in, 48 bytes of BGR out.
ORV_AVX2 size_t YuyvToBgrAvx2(const uint8_t* src, uint8_t* dst, size_t pixels) {
    const __m256i lowByte = _mm256_set1_epi16(0x00FF);
    const __m256i lowWord = _mm256_set1_epi32(0x0000FFFF);
    const __m256i bias = _mm256_set1_epi16(128);
    size_t done = 0;
    for (; done + 16 <= pixels; done += 16) {
        const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 2 * done));
        const __m256i y = _mm256_and_si256(in, lowByte);
        const __m256i c = _mm256_srli_epi16(in, 8);  // U, V, U, V, ... as words
        const __m256i u = _mm256_or_si256(_mm256_and_si256(c, lowWord), _mm256_slli_epi32(c, 16));
        const __m256i v = _mm256_or_si256(_mm256_srli_epi32(c, 16), _mm256_andnot_si256(lowWord, c));
        const __m256i du = _mm256_sub_epi16(u, bias);
        const __m256i dv = _mm256_sub_epi16(v, bias);
        const __m256i au = _mm256_abs_epi16(du);
        const __m256i av = _mm256_abs_epi16(dv);
        const __m256i b = _mm256_add_epi16(y, TruncMul(du, au, kBlueUMul, kBlueUShift));
        const __m256i g = _mm256_sub_epi16(_mm256_sub_epi16(y, TruncMul(du, au, kGreenUMul, kGreenUShift)),
                                           TruncMul(dv, av, kGreenVMul, kGreenVShift));
        const __m256i r = _mm256_add_epi16(y, TruncMul(dv, av, kRedVMul, kRedVShift));
        StoreBgr16(b, g, r, dst + 3 * done);
    }
    return done;
}

namespace {

// One 16-pixel half of a 32-pixel block: luma bytes widened to words, plus the terms.
ORV_AVX2 inline void BgrFromTerms(__m128i luma, __m256i blue, __m256i green, __m256i red, uint8_t* d) {
    const __m256i y = _mm256_cvtepu8_epi16(luma);
    StoreBgr16(_mm256_add_epi16(y, blue), _mm256_sub_epi16(y, green), _mm256_add_epi16(y, red), d);
}

// Sixteen chroma words c0..c15 (c0-7 low lane) to per-pixel words for pixels
// 0-15 (c0..c7 each twice) and 16-31 (c8..c15 each twice).
ORV_AVX2 inline void SpreadPairs(__m256i c, __m256i& first, __m256i& second) {
    const __m256i q = _mm256_permute4x64_epi64(c, 0xD8);  // c0-3 c8-11 | c4-7 c12-15
    first = _mm256_unpacklo_epi16(q, q);
    second = _mm256_unpackhi_epi16(q, q);
}

}  // namespace

ORV_AVX2 int PlanarRowsToBgrAvx2(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v,
                                 uint8_t* dst0, uint8_t* dst1, int width, int hShift) {
    const __m256i bias = _mm256_set1_epi16(128);
    const __m256i lowByte = _mm256_set1_epi16(0x00FF);
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        __m256i cu, cv;  // one chroma word per pixel pair, pairs 0-7 in the low lane
        if (hShift == 1) {
            cu = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(u + x / 2)));
            cv = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + x / 2)));
        } else {
            const __m256i ur = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(u + x));
            const __m256i vr = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + x));
            cu = _mm256_srli_epi16(_mm256_add_epi16(_mm256_and_si256(ur, lowByte), _mm256_srli_epi16(ur, 8)), 1);
            cv = _mm256_srli_epi16(_mm256_add_epi16(_mm256_and_si256(vr, lowByte), _mm256_srli_epi16(vr, 8)), 1);
        }
        const __m256i du = _mm256_sub_epi16(cu, bias);
        const __m256i dv = _mm256_sub_epi16(cv, bias);
        const __m256i au = _mm256_abs_epi16(du);
        const __m256i av = _mm256_abs_epi16(dv);
        __m256i blue[2], green[2], red[2];
        SpreadPairs(TruncMul(du, au, kBlueUMul, kBlueUShift), blue[0], blue[1]);
        SpreadPairs(_mm256_add_epi16(TruncMul(du, au, kGreenUMul, kGreenUShift),
                                     TruncMul(dv, av, kGreenVMul, kGreenVShift)),
                    green[0], green[1]);
        SpreadPairs(TruncMul(dv, av, kRedVMul, kRedVShift), red[0], red[1]);
        for (int row = 0; row < 2; ++row) {
            const uint8_t* y = row == 0 ? y0 : y1;
            if (y == nullptr) {
                break;
            }
            uint8_t* d = (row == 0 ? dst0 : dst1) + 3 * static_cast<size_t>(x);
            const __m256i luma = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + x));
            BgrFromTerms(_mm256_castsi256_si128(luma), blue[0], green[0], red[0], d);
            BgrFromTerms(_mm256_extracti128_si256(luma, 1), blue[1], green[1], red[1], d + 48);
        }
    }
    return x;
}

ORV_AVX2 size_t GreyToBgrAvx2(const uint8_t* src, uint8_t* dst, size_t pixels) {
    const __m128i m0 = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
    const __m128i m1 = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
    const __m128i m2 = _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
    size_t done = 0;
    for (; done + 16 <= pixels; done += 16) {
        const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + done));
        uint8_t* d = dst + 3 * done;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_shuffle_epi8(g, m0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), _mm_shuffle_epi8(g, m1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 32), _mm_shuffle_epi8(g, m2));
    }
    return done;
}

namespace {

// Eight BGR pixels (24 bytes at p, 32 bytes readable) as B G R 0 dwords,
// pixels 0-3 in the low lane and 4-7 in the high lane (whose bytes start at p + 12).
ORV_AVX2 inline __m256i LoadBgr8(const uint8_t* p) {
    const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i spread = _mm256_permutevar8x32_epi32(raw, _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6));
    const __m256i toDwords = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, 0, 1, 2,
                                              -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    return _mm256_shuffle_epi8(spread, toDwords);
}

}  // namespace

// 16 pixels per step; the loads reach 8 bytes beyond the 48 used, hence the margin.
ORV_AVX2 size_t BgrToGreyAvx2(const uint8_t* src, uint8_t* dst, size_t pixels) {
    const __m256i weights = _mm256_setr_epi8(11, 59, 30, 0, 11, 59, 30, 0, 11, 59, 30, 0, 11, 59, 30, 0, 11,
                                             59, 30, 0, 11, 59, 30, 0, 11, 59, 30, 0, 11, 59, 30, 0);
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256i half = _mm256_set1_epi16(50);
    // floor(n / 100) == (n * 41944) >> 22 for every n up to 25550.
    const __m256i reciprocal = _mm256_set1_epi16(static_cast<int16_t>(41944));
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    size_t done = 0;
    for (; done + 19 <= pixels; done += 16) {
        const uint8_t* s = src + 3 * done;
        const __m256i a = _mm256_madd_epi16(_mm256_maddubs_epi16(LoadBgr8(s), weights), ones);
        const __m256i b = _mm256_madd_epi16(_mm256_maddubs_epi16(LoadBgr8(s + 24), weights), ones);
        const __m256i n = _mm256_add_epi16(_mm256_packs_epi32(a, b), half);  // px 0-3 8-11 | 4-7 12-15
        const __m256i q = _mm256_srli_epi16(_mm256_mulhi_epu16(n, reciprocal), 6);
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(q, q), order);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + done), _mm256_castsi256_si128(bytes));
    }
    return done;
}

namespace {

// Eight pixels (from LoadBgr8) to eight words Y | C << 8, as dwords in pixel order
// 0-3 | 4-7; even pixels carry U, odd ones V.
ORV_AVX2 inline __m256i YuyvWords8(__m256i bgr0) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lo = _mm256_unpacklo_epi8(bgr0, zero);  // px 0,1 | 4,5 as B G R 0 words
    const __m256i hi = _mm256_unpackhi_epi8(bgr0, zero);  // px 2,3 | 6,7
    const __m256i yCoef =
        _mm256_setr_epi16(802, 4130, 2104, 0, 802, 4130, 2104, 0, 802, 4130, 2104, 0, 802, 4130, 2104, 0);
    const __m256i cCoef = _mm256_setr_epi16(3598, -2384, -1214, 0, -585, -3013, 3598, 0, 3598, -2384, -1214,
                                            0, -585, -3013, 3598, 0);
    const __m256i ySum = _mm256_hadd_epi32(_mm256_madd_epi16(lo, yCoef), _mm256_madd_epi16(hi, yCoef));
    const __m256i cSum = _mm256_hadd_epi32(_mm256_madd_epi16(lo, cCoef), _mm256_madd_epi16(hi, cCoef));
    // Both results stay within 16..240 for any input, so no clamping is needed.
    const __m256i y = _mm256_srai_epi32(_mm256_add_epi32(ySum, _mm256_set1_epi32(0x21000)), 13);
    const __m256i c = _mm256_srai_epi32(_mm256_add_epi32(cSum, _mm256_set1_epi32(0x101000)), 13);
    return _mm256_or_si256(y, _mm256_slli_epi32(c, 8));
}

}  // namespace

ORV_AVX2 size_t BgrToYuyvAvx2(const uint8_t* src, uint8_t* dst, size_t pixels) {
    size_t done = 0;
    for (; done + 19 <= pixels; done += 16) {
        const uint8_t* s = src + 3 * done;
        const __m256i a = YuyvWords8(LoadBgr8(s));
        const __m256i b = YuyvWords8(LoadBgr8(s + 24));
        const __m256i words = _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * done), words);
    }
    return done;
}

}  // namespace processing::kernels

#else  // no x86 vector paths: the scalar forms do everything

namespace processing::kernels {
size_t YuyvToBgrAvx2(const uint8_t*, uint8_t*, size_t) {
    return 0;
}
size_t GreyToBgrAvx2(const uint8_t*, uint8_t*, size_t) {
    return 0;
}
size_t BgrToYuyvAvx2(const uint8_t*, uint8_t*, size_t) {
    return 0;
}
size_t BgrToGreyAvx2(const uint8_t*, uint8_t*, size_t) {
    return 0;
}
int PlanarRowsToBgrAvx2(const uint8_t*, const uint8_t*, const uint8_t*, const uint8_t*, uint8_t*, uint8_t*, int,
                        int) {
    return 0;
}
bool Avx2MatchesTables(const YuyvToBgrTables&) {
    return false;
}
}  // namespace processing::kernels

#endif
