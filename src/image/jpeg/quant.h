// Quantisation: quality scaling of the Annex K tables, the reciprocal tables that fold
// the DCT scale and the quantiser into one multiply, and the rounding to integers.
#pragma once

#include <array>
#include <cstdint>

#include "image/jpeg/f32x4.h"
#include "image/jpeg/tables.h"

namespace mpg::jpeg {

// A quantisation table as DQT carries it: 64 quantisers in zigzag order.
using QuantTable = std::array<uint8_t, kBlockSize>;
// One float per coefficient, natural order: multiply a DCT output by it to quantise.
using ReciprocalTable = std::array<float, kBlockSize>;

// Scales a natural-order base table (K.1 or K.2) by quality the IJG way: quality is
// taken into 1..100, the percentage is 5000 / q below 50 and 200 - 2q otherwise, and
// each quantiser becomes (base * percentage + 50) / 100 kept within 1..255 (baseline
// allows 8-bit quantisers only). Quality 50 returns the base table; 100 all ones.
QuantTable ScaleQuantTable(const std::array<uint8_t, kBlockSize>& baseNatural,
                           int quality);

// Entry 8r + c is (1 / (A[r] * A[c] * 8)) / Q, in single precision, with Q the
// quantiser of that coefficient and A the AAN scale vector of fdct.cpp.
ReciprocalTable BuildReciprocals(const QuantTable& zigzagTable);

// Rounds half away from zero and keeps the result as a signed 16-bit coefficient:
// add 0.5 (or -0.5 below zero), then truncate.
inline int16_t RoundHalfAwayFromZero(float v) {
  return static_cast<int16_t>(static_cast<int32_t>(v >= 0.0f ? v + 0.5f : v - 0.5f));
}

// Quantises one DCT output block (natural order) into zigzag order:
// zigzag[i] = RoundHalfAwayFromZero(dct[k] * recip[k]) with k = kZigzagToNatural[i].
void QuantizeBlock(const float dct[kBlockSize], const ReciprocalTable& recip,
                   int16_t zigzag[kBlockSize]);

#if MPG_JPEG_HAVE_SSE2
// The same on four blocks at once: lane b of dct[k] is coefficient k of block b, and
// block b's zigzag coefficients go to zigzag[64 * b ..].
void QuantizeBlocks(const F32x4 dct[kBlockSize], const float recip[kBlockSize],
                    int16_t zigzag[4 * kBlockSize]);
#endif

}  // namespace mpg::jpeg
