// Huffman code derivation (T.81 Annex C) and block coding (T.81 F.1.2), after
// libjpeg's jchuff.c: codes are derived and checked, never typed in.
#include "image/jpeg/huffman.h"

#include <bit>

namespace mpg::jpeg {

namespace {

constexpr uint8_t kEob = 0x00;  // end of block: the rest of the block is zero
constexpr uint8_t kZrl = 0xF0;  // a run of sixteen zeros

}  // namespace

bool BuildHuffmanCodes(const HuffmanSpec& spec, HuffmanCodeTable& codes) {
  codes.fill(HuffmanCode{0, 0});
  if (spec.values == nullptr || spec.valueCount < 0 || spec.valueCount > 256) return false;

  // Figure C.1: the list of code sizes, one entry per symbol in HUFFVAL order.
  int total = 0;
  for (int length = 1; length <= 16; ++length) total += spec.bits[length - 1];
  if (total != spec.valueCount) return false;

  // Figures C.2 and C.3: consecutive codes within a length; the code doubles (a 0-bit
  // is appended) when the length grows. Each length's codes must leave the all-ones
  // word of that length unused, which T.81 reserves.
  bool seen[256] = {};
  uint32_t code = 0;
  int k = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < spec.bits[length - 1]; ++i, ++k) {
      const uint8_t symbol = spec.values[k];
      if (seen[symbol]) return false;
      seen[symbol] = true;
      codes[symbol] = HuffmanCode{static_cast<uint16_t>(code), static_cast<uint8_t>(length)};
      ++code;
    }
    if (code >= (1u << length)) return false;
    code <<= 1;
  }
  return true;
}

int MagnitudeCategory(int v) {
  return std::bit_width(static_cast<unsigned>(v < 0 ? -v : v));
}

uint32_t MagnitudeBits(int v, int category) {
  // v - 1 for negative v is v + 2^category - 1 modulo 2^category.
  return static_cast<uint32_t>(v < 0 ? v - 1 : v) & ((1u << category) - 1);
}

int16_t EncodeCoefficients(BitWriter& writer, const int16_t* coef, int stride,
                           int16_t predictor, const HuffmanCodeTable& dc,
                           const HuffmanCodeTable& ac) {
  // DC: the difference to the previous block of the component (F.1.2.1). The code of
  // its category and the magnitude bits go out as one put.
  const int16_t dcValue = coef[0];
  const int diff = dcValue - predictor;
  const int dcCategory = MagnitudeCategory(diff);
  const HuffmanCode& dcCode = dc[dcCategory];
  writer.PutBits((uint32_t{dcCode.code} << dcCategory) | MagnitudeBits(diff, dcCategory),
                 dcCode.length + dcCategory);

  // AC in zigzag order (F.1.2.2). Only up to the last non-zero coefficient: EOB
  // stands for all that follow.
  int last = 0;
  for (int i = kBlockSize - 1; i > 0; --i) {
    if (coef[kZigzagToNatural[i] * stride] != 0) {
      last = i;
      break;
    }
  }

  // run holds the zero count already shifted into the RRRR nibble, so it grows by 16
  // and adds straight onto the category to form the symbol.
  int run = 0;
  for (int i = 1; i <= last; ++i) {
    const int v = coef[kZigzagToNatural[i] * stride];
    if (v == 0) {
      run += 16;
      if (run > 0xF0) {
        // Sixteen zeros do not fit the 4-bit run field; they leave as one ZRL.
        writer.PutBits(ac[kZrl].code, ac[kZrl].length);
        run = 0;
      }
      continue;
    }
    const int category = MagnitudeCategory(v);
    const HuffmanCode& acCode = ac[run + category];
    writer.PutBits((uint32_t{acCode.code} << category) | MagnitudeBits(v, category),
                   acCode.length + category);
    run = 0;
  }
  if (last < kBlockSize - 1) writer.PutBits(ac[kEob].code, ac[kEob].length);
  return dcValue;
}

}  // namespace mpg::jpeg
