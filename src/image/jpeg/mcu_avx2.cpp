// The AVX2 kernel: eight MCUs per step, one block per lane, through the same colour
// conversion, DCT and quantisation templates as the scalar kernel, so each lane's
// results are bit-identical to the scalar ones. This is the only file built with
// -mavx2 (and only where the build enables it), and it is only entered after the
// processor was found to have AVX2. To keep AVX2 code out of functions the rest of
// the library might share, everything here besides TransformMcusAvx2 has internal
// linkage: the lane type lives in an anonymous namespace, so even the shared
// templates' instantiations are this file's own. (The one shared inline function it
// uses, std::array's element access for the zigzag table, is integer code.)
#include "image/jpeg/mcu_kernels.h"

#if MPG_JPEG_HAVE_AVX2

#include <immintrin.h>

#include "image/jpeg/fdct_aan.h"
#include "image/jpeg/tables.h"
#include "image/jpeg/ycc.h"

namespace mpg::jpeg {

namespace {

constexpr int kLanes = 8;

// Eight single-precision lanes with float's operators, one IEEE instruction each (see
// f32x4.h). The build's -ffp-contract=off keeps a multiply and an add from fusing.
struct F32x8 {
  __m256 v;

  F32x8() = default;
  explicit F32x8(__m256 x) : v(x) {}
  F32x8(float x) : v(_mm256_set1_ps(x)) {}  // NOLINT(google-explicit-constructor)

  friend F32x8 operator+(F32x8 a, F32x8 b) { return F32x8(_mm256_add_ps(a.v, b.v)); }
  friend F32x8 operator-(F32x8 a, F32x8 b) { return F32x8(_mm256_sub_ps(a.v, b.v)); }
  friend F32x8 operator*(F32x8 a, F32x8 b) { return F32x8(_mm256_mul_ps(a.v, b.v)); }
};

int Min(int a, int b) { return a < b ? a : b; }

// Small steps of the loops below, always inlined, and their loops unrolled, so that
// their vectors stay in registers.
#define MPG_JPEG_INLINE inline __attribute__((always_inline))

// Rows become columns: afterwards r[b] holds lane b of the eight inputs.
MPG_JPEG_INLINE void Transpose8x8(__m256i r[8]) {
  __m256i t[8];
  #pragma GCC unroll 8
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);
    t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);
  }
  // Within each 128-bit half, u[j] and u[4 + j] now hold lane j (low half) or j + 4
  // (high half) of inputs 0..3 and 4..7.
  __m256i u[8];
  #pragma GCC unroll 8
  for (int i = 0; i < 8; i += 4) {
    u[i] = _mm256_unpacklo_epi64(t[i], t[i + 2]);
    u[i + 1] = _mm256_unpackhi_epi64(t[i], t[i + 2]);
    u[i + 2] = _mm256_unpacklo_epi64(t[i + 1], t[i + 3]);
    u[i + 3] = _mm256_unpackhi_epi64(t[i + 1], t[i + 3]);
  }
  #pragma GCC unroll 8
  for (int j = 0; j < 4; ++j) {
    r[j] = _mm256_permute2x128_si256(u[j], u[4 + j], 0x20);
    r[4 + j] = _mm256_permute2x128_si256(u[j], u[4 + j], 0x31);
  }
}

// Lane b of pixels: 0x00BBGGRR, the pixel's bytes in their order.
MPG_JPEG_INLINE void ToYcc(__m256i pixels, F32x8& y, F32x8& cb, F32x8& cr) {
  const __m256i byteMask = _mm256_set1_epi32(0xFF);
  const __m256i r = _mm256_and_si256(pixels, byteMask);
  const __m256i g = _mm256_and_si256(_mm256_srli_epi32(pixels, 8), byteMask);
  const __m256i b = _mm256_and_si256(_mm256_srli_epi32(pixels, 16), byteMask);
  // Integer to float is exact for 0..255, as the scalar cast is.
  RgbToYcc(F32x8(_mm256_cvtepi32_ps(r)), F32x8(_mm256_cvtepi32_ps(g)),
           F32x8(_mm256_cvtepi32_ps(b)), y, cb, cr);
}

// Eight whole blocks, none in the bottom block row: each block row of 8 pixels is one
// 32-byte load (24 bytes of the block and 8 of what follows, still inside the
// picture because another sample row follows), spread to one pixel per 32-bit lane;
// a transpose then gives, for each column dx, pixel dx of the eight blocks.
void LoadInnerBlocks(const Picture& pic, int firstCol, int y, F32x8 yOut[kBlockSize],
                     F32x8 cbOut[kBlockSize], F32x8 crOut[kBlockSize]) {
  // Bytes 0..11 to the low half, 12..23 to the high half; then 3 bytes per lane.
  const __m256i halves = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,
                                          0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  for (int dy = 0; dy < 8; ++dy) {
    const uint8_t* line =
        pic.rgb + static_cast<size_t>(y + dy) * pic.stride + 24 * static_cast<size_t>(firstCol);
    __m256i pixels[kLanes];
    #pragma GCC unroll 8
    for (int b = 0; b < kLanes; ++b) {
      const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(line + 24 * b));
      pixels[b] = _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(raw, halves), spread);
    }
    Transpose8x8(pixels);
    #pragma GCC unroll 8
    for (int dx = 0; dx < 8; ++dx) {
      const int k = 8 * dy + dx;
      ToYcc(pixels[dx], yOut[k], cbOut[k], crOut[k]);
    }
  }
}

// Any eight MCUs: samples past the right or bottom edge repeat the last column or row,
// and lanes past the last block column repeat it, byte by byte.
void LoadEdgeBlocks(const Picture& pic, int firstCol, int y, F32x8 yOut[kBlockSize],
                    F32x8 cbOut[kBlockSize], F32x8 crOut[kBlockSize]) {
  const int lastCol = (pic.width - 1) / 8;
  int offset[8][kLanes];
  for (int lane = 0; lane < kLanes; ++lane) {
    const int x = 8 * Min(firstCol + lane, lastCol);
    for (int dx = 0; dx < 8; ++dx) offset[dx][lane] = 3 * Min(x + dx, pic.width - 1);
  }
  for (int dy = 0; dy < 8; ++dy) {
    const uint8_t* line = pic.rgb + static_cast<size_t>(Min(y + dy, pic.height - 1)) * pic.stride;
    for (int dx = 0; dx < 8; ++dx) {
      const int* o = offset[dx];
      const auto pixel = [line](int at) {
        return static_cast<int>(line[at] | line[at + 1] << 8 | line[at + 2] << 16);
      };
      const int k = 8 * dy + dx;
      ToYcc(_mm256_setr_epi32(pixel(o[0]), pixel(o[1]), pixel(o[2]), pixel(o[3]), pixel(o[4]),
                              pixel(o[5]), pixel(o[6]), pixel(o[7])),
            yOut[k], cbOut[k], crOut[k]);
    }
  }
}

// QuantizeBlocks (quant.cpp) on eight lanes: the scalar rounding rule lane by lane,
// then a transpose so each block's coefficients are stored together.
void QuantizeBlocks8(const F32x8 dct[kBlockSize], const float* recip, int16_t* zigzag) {
  const __m256 zero = _mm256_setzero_ps();
  const __m256 half = _mm256_set1_ps(0.5f);
  const __m256 minusHalf = _mm256_set1_ps(-0.5f);
  for (int i = 0; i < kBlockSize; i += 8) {
    __m256i rounded[8];
    #pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) {
      const int k = kZigzagToNatural[i + j];
      const __m256 product = _mm256_mul_ps(dct[k].v, _mm256_set1_ps(recip[k]));
      // +0.5 where product >= 0, else -0.5; then truncation toward zero (cvttps).
      const __m256 nonNegative = _mm256_cmp_ps(product, zero, _CMP_GE_OQ);
      const __m256 bias = _mm256_blendv_ps(minusHalf, half, nonNegative);
      rounded[j] = _mm256_cvttps_epi32(_mm256_add_ps(product, bias));
    }
    // Now rounded[b] holds coefficients i..i+7 of block b.
    Transpose8x8(rounded);
    #pragma GCC unroll 8
    for (int b = 0; b < kLanes; b += 2) {
      // Saturating to 16 bits, as QuantizeBlocks does. The pack works within 128-bit
      // halves; the permute puts block b's eight values in the low half.
      const __m256i packed = _mm256_permute4x64_epi64(
          _mm256_packs_epi32(rounded[b], rounded[b + 1]), 0xD8);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(zigzag + kBlockSize * b + i),
                       _mm256_castsi256_si128(packed));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(zigzag + kBlockSize * (b + 1) + i),
                       _mm256_extracti128_si256(packed, 1));
    }
  }
}

}  // namespace

void TransformMcusAvx2(const Picture& pic, int firstCol, int y, const float* lumRecip,
                       const float* chromRecip, const McuCoefficients& out) {
  alignas(32) F32x8 ySoa[kBlockSize];
  alignas(32) F32x8 cbSoa[kBlockSize];
  alignas(32) F32x8 crSoa[kBlockSize];
  const bool inner = y + 8 < pic.height && 8 * (firstCol + kLanes) <= pic.width;
  if (inner) {
    LoadInnerBlocks(pic, firstCol, y, ySoa, cbSoa, crSoa);
  } else {
    LoadEdgeBlocks(pic, firstCol, y, ySoa, cbSoa, crSoa);
  }
  Dct8x8(ySoa);
  Dct8x8(cbSoa);
  Dct8x8(crSoa);
  QuantizeBlocks8(ySoa, lumRecip, out.yZigzag);
  QuantizeBlocks8(cbSoa, chromRecip, out.cbZigzag);
  QuantizeBlocks8(crSoa, chromRecip, out.crZigzag);
}

}  // namespace mpg::jpeg

#endif  // MPG_JPEG_HAVE_AVX2
