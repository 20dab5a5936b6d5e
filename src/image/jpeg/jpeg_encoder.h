// The library's baseline JPEG encoder: JFIF, one comment, the Annex K quantisation
// tables scaled by quality, the Annex K Huffman tables, and one interleaved scan of
// Y, Cb, Cr 8x8 blocks without chroma subsampling (4:4:4). Output is byte-for-byte
// reproducible: the numeric path is single-precision float in a fixed order, and the
// SIMD kernel produces exactly the bytes of the scalar one.
//
// Pictures are packed RGB24: rows of exactly width * 3 bytes with no gaps, top row
// first, each pixel red, green, blue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace mpg::jpeg {

// The comment every picture the library encodes carries in its COM segment.
inline constexpr std::string_view kJpegComment = "Velmo image compression";
// The quality used when a caller passes one outside 0..100.
inline constexpr int32_t kDefaultQuality = 90;
// Frame dimensions are 16-bit fields of SOF0 (T.81 B.2.2).
inline constexpr int32_t kMaxDimension = 65535;

// Where the encoder's bytes go. The encoder hands over its output in chunks of up to
// 16 KiB, in order; a sink cannot report failure to the encoder (write errors are the
// sink's business, which is why Write is noexcept).
class ByteSink {
 public:
  virtual void Write(const uint8_t* bytes, size_t count) noexcept = 0;

 protected:
  ~ByteSink() = default;
};

// Which implementation of the numeric path runs. All produce identical bytes;
// kScalar is the reference, kSse2 transforms four blocks per instruction, kAvx2
// eight, and kBest picks the fastest one this build and processor have.
enum class Kernel { kScalar, kSse2, kAvx2, kBest };

// True when this build has the SSE2 kernel (x86-64 always does).
bool HasSse2Kernel() noexcept;

// True when this build has the AVX2 kernel (x86-64 outside Windows) and the processor
// runs it.
bool HasAvx2Kernel() noexcept;

// Encodes a picture into sink. Returns false, with nothing written, for a null
// picture, a zero width or height, or a comment longer than a COM segment holds
// (65533 bytes); otherwise writes the whole file and returns true. quality above 100
// acts as 100 and below 1 as 1. An unavailable kernel falls back to kSse2, or to
// kScalar without that.
bool EncodeJpeg(ByteSink& sink, const uint8_t* rgb, uint16_t width, uint16_t height,
                uint8_t quality, std::string_view comment,
                Kernel kernel = Kernel::kBest) noexcept;

// Encodes a picture as a JPEG file image with the comment kJpegComment, replacing the
// contents of out; quality outside 0..100 means kDefaultQuality. False for a null
// picture or a size outside 1..kMaxDimension, and also when memory runs out (out is
// then left empty).
bool EncodeJpegToMemory(const uint8_t* rgb, int32_t width, int32_t height,
                        int32_t quality, std::vector<uint8_t>& out,
                        Kernel kernel = Kernel::kBest) noexcept;

}  // namespace mpg::jpeg
