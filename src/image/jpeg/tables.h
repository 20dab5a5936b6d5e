// Fixed tables of the baseline encoder: the example tables of ITU-T T.81 Annex K and
// the zigzag order of Figure A.6. Everything else the encoder needs is derived from
// these at run time (quant.cpp, huffman.cpp).
#pragma once

#include <array>
#include <cstdint>

namespace mpg::jpeg {

constexpr int kBlockSize = 64;

// T.81 Table K.1 (luminance) and Table K.2 (chrominance), natural (row-major) order.
// They are the tables a quality of 50 writes unchanged.
extern const std::array<uint8_t, kBlockSize> kLuminanceQuantK1;
extern const std::array<uint8_t, kBlockSize> kChrominanceQuantK2;

// Zigzag position -> natural position (Figure A.6).
extern const std::array<uint8_t, kBlockSize> kZigzagToNatural;

// A Huffman table as a DHT segment carries it (B.2.4.2): BITS, the number of codes of
// each length 1..16, and HUFFVAL, the symbols in order of increasing code length.
struct HuffmanTable {
  std::array<uint8_t, 16> bits;
  const uint8_t* values;
  int valueCount;
};

// T.81 Tables K.3 to K.6, the typical tables every baseline decoder accepts.
extern const HuffmanTable kDcLuminanceK3;
extern const HuffmanTable kDcChrominanceK4;
extern const HuffmanTable kAcLuminanceK5;
extern const HuffmanTable kAcChrominanceK6;

}  // namespace mpg::jpeg
