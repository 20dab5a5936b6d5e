// Huffman code derivation (T.81 Annex C) and block coding (T.81 F.1.2), after
// libjpeg's jchuff.c: codes are derived and checked, never typed in.
#include "image/jpeg/huffman.h"

#include <bit>

#include "image/jpeg/f32x4.h"

namespace mpg::jpeg {

namespace {

constexpr uint8_t kEob = 0x00;  // end of block: the rest of the block is zero
constexpr uint8_t kZrl = 0xF0;  // a run of sixteen zeros

// Bit i set when zigzag[i] is not zero.
uint64_t NonZeroMask(const int16_t zigzag[kBlockSize]) {
#if MPG_JPEG_HAVE_SSE2
  const __m128i zero = _mm_setzero_si128();
  uint64_t zeroMask = 0;
  for (int i = 0; i < kBlockSize; i += 16) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(zigzag + i));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(zigzag + i + 8));
    // 16-bit compare results narrowed to bytes, one movemask bit per coefficient.
    const __m128i eq = _mm_packs_epi16(_mm_cmpeq_epi16(lo, zero), _mm_cmpeq_epi16(hi, zero));
    zeroMask |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(eq))} << i;
  }
  return ~zeroMask;
#else
  uint64_t mask = 0;
  for (int i = 0; i < kBlockSize; ++i) mask |= uint64_t{zigzag[i] != 0} << i;
  return mask;
#endif
}

}  // namespace

bool BuildHuffmanCodes(const HuffmanTable& table, HuffmanCodeTable& codes) {
  codes.fill(HuffmanCode{0, 0});
  if (table.values == nullptr || table.valueCount < 0 || table.valueCount > 256) return false;

  // Figure C.1: the list of code sizes, one entry per symbol in HUFFVAL order.
  int total = 0;
  for (int length = 1; length <= 16; ++length) total += table.bits[length - 1];
  if (total != table.valueCount) return false;

  // Figures C.2 and C.3: consecutive codes within a length; the code doubles (a 0-bit
  // is appended) when the length grows. Each length's codes must leave the all-ones
  // word of that length unused, which T.81 reserves.
  bool seen[256] = {};
  uint32_t code = 0;
  int k = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < table.bits[length - 1]; ++i, ++k) {
      const uint8_t symbol = table.values[k];
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

namespace {

// Codes one block into room the caller reserved. Always inlined: the BlockBits must
// stay in registers, which a call taking it by reference would prevent.
inline __attribute__((always_inline)) int16_t EncodeBlock(BlockBits& bits,
                                                          const int16_t zigzag[kBlockSize],
                                                          int16_t predictor,
                                                          const HuffmanCodeTable& dc,
                                                          const HuffmanCodeTable& ac) {
  // DC: the difference to the previous block of the component (F.1.2.1). The code of
  // its category and the magnitude bits go out as one put.
  const int16_t dcValue = zigzag[0];
  const int diff = dcValue - predictor;
  const int dcCategory = MagnitudeCategory(diff);
  const HuffmanCode dcCode = dc[dcCategory];
  bits.PutBits((uint32_t{dcCode.code} << dcCategory) | MagnitudeBits(diff, dcCategory),
               dcCode.length + dcCategory);

  // AC (F.1.2.2): each non-zero coefficient is coded with the run of zeros before it,
  // sixteen zeros at a time as ZRL while the run is too long for the 4-bit RRRR field.
  // Zeros after the last non-zero coefficient are one EOB, unless position 63 is
  // non-zero. Walking the set bits of a non-zero mask visits only the coefficients
  // that produce output; the bytes are those of a walk over all 63 positions.
  uint64_t nonZero = NonZeroMask(zigzag) & ~uint64_t{1};
  int previous = 0;
  while (nonZero != 0) {
    const int i = std::countr_zero(nonZero);
    nonZero &= nonZero - 1;
    // The symbol's RRRR field, kept shifted left by four: a ZRL takes 16 << 4 off it.
    int runShifted = (i - previous - 1) << 4;
    for (; runShifted >= 16 << 4; runShifted -= 16 << 4) {
      bits.PutBits(ac[kZrl].code, ac[kZrl].length);
    }
    const int v = zigzag[i];
    const int category = MagnitudeCategory(v);
    const HuffmanCode acCode = ac[runShifted + category];
    bits.PutBits((uint32_t{acCode.code} << category) | MagnitudeBits(v, category),
                 acCode.length + category);
    previous = i;
  }
  if (previous < kBlockSize - 1) bits.PutBits(ac[kEob].code, ac[kEob].length);
  return dcValue;
}

}  // namespace

int16_t EncodeCoefficients(BitWriter& writer, const int16_t zigzag[kBlockSize],
                           int16_t predictor, const HuffmanCodeTable& dc,
                           const HuffmanCodeTable& ac) {
  BlockBits bits(writer, 1);
  return EncodeBlock(bits, zigzag, predictor, dc, ac);
}

void EncodeMcus(BitWriter& writer, const int16_t* const zigzag[kMcuBlocks], int mcuCount,
                BlockCoder coders[kMcuBlocks]) {
  static_assert(kMcuBlocks * kMaxMcusPerCall <= BlockBits::kMaxBlocks);
  // One reservation and one copy of the writer's state for all the blocks.
  BlockBits bits(writer, kMcuBlocks * mcuCount);
  for (int mcu = 0; mcu < mcuCount; ++mcu) {
    for (int c = 0; c < kMcuBlocks; ++c) {
      BlockCoder& coder = coders[c];
      coder.predictor = EncodeBlock(bits, zigzag[c] + kBlockSize * mcu, coder.predictor,
                                    *coder.dc, *coder.ac);
    }
  }
}

}  // namespace mpg::jpeg
