// The numeric part of the SIMD kernels: colour conversion, DCT and quantisation of a
// run of horizontally adjacent MCUs, one block per lane. Each writes every block's
// quantised coefficients in zigzag order, for the Huffman coder to take block by block.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mpg::jpeg {

// A packed RGB24 picture: rows of stride = width * 3 bytes, top row first.
struct Picture {
  const uint8_t* rgb;
  int width;
  int height;
  size_t stride;
};

// Where the kernels write: block b of each component at yZigzag[64 * b] (and the same
// for cb, cr), 64 coefficients in zigzag order.
struct McuCoefficients {
  int16_t* yZigzag;
  int16_t* cbZigzag;
  int16_t* crZigzag;
};

// Transforms the MCUs of block columns firstCol.. of the block row whose top sample
// row is y; lanes past the last block column repeat it (the caller drops them).
// lumRecip and chromRecip are the 64 reciprocals of ReciprocalTable, natural order.
using McuTransform = void (*)(const Picture& pic, int firstCol, int y, const float* lumRecip,
                              const float* chromRecip, const McuCoefficients& out);

#if MPG_JPEG_HAVE_AVX2
// Eight MCUs per call with AVX2 (mcu_avx2.cpp, the one file built with -mavx2). Only to
// be called when the processor has AVX2.
void TransformMcusAvx2(const Picture& pic, int firstCol, int y, const float* lumRecip,
                       const float* chromRecip, const McuCoefficients& out);
#endif

}  // namespace mpg::jpeg
