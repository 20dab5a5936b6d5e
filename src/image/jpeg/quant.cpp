// Quality scaling follows the IJG convention (jcparam.c) so that a quality number
// means what it means in every libjpeg-based tool; quantisation follows jcdctmgr.c's
// float path: one multiply by a precomputed reciprocal instead of a divide.
#include "image/jpeg/quant.h"

#include <algorithm>

namespace mpg::jpeg {

namespace {

// A[k] = sqrt(2) * cos(k * pi / 16), A[0] = 1: the factor by which the AAN transform
// leaves output k scaled (fdct.cpp). Stored rounded to single precision.
constexpr float kAanScale[8] = {1.0f,       1.3870399f, 1.306563f,  1.1758755f,
                                1.0f,       0.78569496f, 0.5411961f, 0.27589938f};

}  // namespace

QuantTable ScaleQuantTable(const std::array<uint8_t, kBlockSize>& baseNatural,
                           int quality) {
  const unsigned q = static_cast<unsigned>(std::clamp(quality, 1, 100));
  const unsigned percent = q < 50 ? 5000 / q : 200 - 2 * q;
  QuantTable table{};
  for (int i = 0; i < kBlockSize; ++i) {
    const unsigned scaled = (baseNatural[kZigzagToNatural[i]] * percent + 50) / 100;
    table[i] = static_cast<uint8_t>(std::clamp(scaled, 1u, 255u));
  }
  return table;
}

ReciprocalTable BuildReciprocals(const QuantTable& zigzagTable) {
  ReciprocalTable recip{};
  for (int i = 0; i < kBlockSize; ++i) {
    const int natural = kZigzagToNatural[i];
    const int row = natural / 8;
    const int col = natural % 8;
    const float q = static_cast<float>(zigzagTable[i]);
    recip[natural] = (1.0f / (kAanScale[row] * kAanScale[col] * 8.0f)) / q;
  }
  return recip;
}

void QuantizeBlock(const float dct[kBlockSize], const ReciprocalTable& recip,
                   int16_t out[kBlockSize]) {
  for (int k = 0; k < kBlockSize; ++k) out[k] = RoundHalfAwayFromZero(dct[k] * recip[k]);
}

#if MPG_JPEG_HAVE_SSE2
void QuantizeBlocks(const F32x4 dct[kBlockSize], const ReciprocalTable& recip,
                    int16_t out[4 * kBlockSize]) {
  const __m128 zero = _mm_setzero_ps();
  const __m128 half = _mm_set1_ps(0.5f);
  const __m128 minusHalf = _mm_set1_ps(-0.5f);
  for (int k = 0; k < kBlockSize; k += 2) {
    __m128i rounded[2];
    for (int j = 0; j < 2; ++j) {
      const __m128 product = _mm_mul_ps(dct[k + j].v, _mm_set1_ps(recip[k + j]));
      // The scalar rule's branch as a select: +0.5 where product >= 0, else -0.5.
      const __m128 nonNegative = _mm_cmpge_ps(product, zero);
      const __m128 bias = _mm_or_ps(_mm_and_ps(nonNegative, half),
                                    _mm_andnot_ps(nonNegative, minusHalf));
      // cvttps truncates toward zero like the scalar cast; the default conversion
      // (round to nearest even) would not.
      rounded[j] = _mm_cvttps_epi32(_mm_add_ps(product, bias));
    }
    // Saturating instead of truncating to 16 bits: the same for every coefficient
    // 8-bit samples can produce (|value| <= 1024 even with all quantisers 1).
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * k),
                     _mm_packs_epi32(rounded[0], rounded[1]));
  }
}
#endif

}  // namespace mpg::jpeg
