// Huffman coding of the baseline encoder: code words derived from BITS/HUFFVAL, and
// the coding of one block's quantised coefficients (T.81 F.1.2).
#pragma once

#include <array>
#include <cstdint>

#include "image/jpeg/bit_writer.h"
#include "image/jpeg/tables.h"

namespace mpg::jpeg {

// A code word and its length in bits; length 0 marks a symbol the table lacks.
struct HuffmanCode {
  uint16_t code;
  uint8_t length;
};

// Indexed by symbol value.
using HuffmanCodeTable = std::array<HuffmanCode, 256>;

// Assigns canonical codes by T.81 Annex C (Figures C.1 to C.3). Returns false for a
// table no decoder could read: more than 256 symbols, a code that overflows its
// length or is all 1-bits, or a symbol listed twice.
bool BuildHuffmanCodes(const HuffmanTable& table, HuffmanCodeTable& codes);

// The magnitude category SSSS of a coefficient or DC difference (Table F.1/F.2): the
// number of bits of |v|, 0 for 0.
int MagnitudeCategory(int v);

// The category-bit magnitude field of F.1.2.1: v itself when positive, v - 1 in the
// low bits (its one's complement) when negative.
uint32_t MagnitudeBits(int v, int category);

// Codes one quantised block (F.1.2.1 for the DC difference, F.1.2.2 for the AC run
// lengths with ZRL and EOB). zigzag holds the 64 coefficients in zigzag order.
// Returns the block's DC value, the predictor for the next block of the same
// component.
int16_t EncodeCoefficients(BitWriter& writer, const int16_t zigzag[kBlockSize],
                           int16_t predictor, const HuffmanCodeTable& dc,
                           const HuffmanCodeTable& ac);

// The blocks of one MCU of the encoder's scan: Y, Cb, Cr, one block each (4:4:4).
constexpr int kMcuBlocks = 3;

// What a component's blocks are coded with, and its DC predictor.
struct BlockCoder {
  const HuffmanCodeTable* dc;
  const HuffmanCodeTable* ac;
  int16_t predictor;
};

// Codes mcuCount MCUs in scan order: for each MCU m, block m of each component c,
// taken from zigzag[c] + 64 * m, with coders[c], whose predictor it updates. At most
// kMaxMcusPerCall MCUs per call.
constexpr int kMaxMcusPerCall = 8;
void EncodeMcus(BitWriter& writer, const int16_t* const zigzag[kMcuBlocks], int mcuCount,
                BlockCoder coders[kMcuBlocks]);

}  // namespace mpg::jpeg
