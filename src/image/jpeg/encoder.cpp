// Baseline JPEG encoding: the marker segments and the MCU loop over 8x8 blocks in
// Y, Cb, Cr. Refuses a null picture or a zero size before writing anything.
#include "image/jpeg/jpeg_encoder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "image/jpeg/bit_writer.h"
#include "image/jpeg/fdct.h"
#include "image/jpeg/huffman.h"
#include "image/jpeg/mcu_kernels.h"
#include "image/jpeg/quant.h"
#include "image/jpeg/tables.h"
#include "image/jpeg/ycc.h"

namespace mpg::jpeg {

namespace {

// Marker codes (T.81 Table B.1).
constexpr uint8_t kSoi = 0xD8;
constexpr uint8_t kEoi = 0xD9;
constexpr uint8_t kApp0 = 0xE0;
constexpr uint8_t kCom = 0xFE;
constexpr uint8_t kDqt = 0xDB;
constexpr uint8_t kSof0 = 0xC0;
constexpr uint8_t kDht = 0xC4;
constexpr uint8_t kSos = 0xDA;

// A segment's length field counts itself (two bytes) and the payload.
constexpr size_t kMaxSegmentPayload = 65535 - 2;

// What one component is coded with: luminance tables for Y, chrominance for Cb, Cr.
struct ComponentCoding {
  const ReciprocalTable* recip;
  const HuffmanCodeTable* dc;
  const HuffmanCodeTable* ac;
};

// Everything derived per picture. Rebuilt on every call, so calls share nothing.
struct EncoderTables {
  QuantTable lumQuant;
  QuantTable chromQuant;
  ReciprocalTable lumRecip;
  ReciprocalTable chromRecip;
  HuffmanCodeTable dcLum;
  HuffmanCodeTable acLum;
  HuffmanCodeTable dcChrom;
  HuffmanCodeTable acChrom;

  ComponentCoding Luma() const { return {&lumRecip, &dcLum, &acLum}; }
  ComponentCoding Chroma() const { return {&chromRecip, &dcChrom, &acChrom}; }
};

void PutMarker(ByteOutput& out, uint8_t marker) {
  out.PutByte(0xFF);
  out.PutByte(marker);
}

void WriteSoiAndJfif(ByteOutput& out) {
  PutMarker(out, kSoi);
  PutMarker(out, kApp0);
  out.PutBigEndian16(16);
  static constexpr uint8_t kJfif[] = {
      'J', 'F', 'I', 'F', 0,  // identifier
      1, 1,                   // version 1.01
      0,                      // density units: none, the densities give the aspect
      0, 1, 0, 1,             // X and Y density 1: square pixels
      0, 0,                   // no thumbnail
  };
  out.PutBytes(kJfif, sizeof kJfif);
}

void WriteComment(ByteOutput& out, std::string_view comment) {
  PutMarker(out, kCom);
  out.PutBigEndian16(static_cast<uint16_t>(comment.size() + 2));
  out.PutBytes(reinterpret_cast<const uint8_t*>(comment.data()), comment.size());
}

void WriteQuantTables(ByteOutput& out, const EncoderTables& tables) {
  PutMarker(out, kDqt);
  out.PutBigEndian16(2 + 2 * (1 + kBlockSize));
  // Pq/Tq: 8-bit precision (baseline), tables 0 and 1; entries in zigzag order.
  out.PutByte(0x00);
  out.PutBytes(tables.lumQuant.data(), kBlockSize);
  out.PutByte(0x01);
  out.PutBytes(tables.chromQuant.data(), kBlockSize);
}

void WriteFrameHeader(ByteOutput& out, uint16_t width, uint16_t height) {
  PutMarker(out, kSof0);
  out.PutBigEndian16(8 + 3 * 3);
  out.PutByte(8);  // sample precision
  out.PutBigEndian16(height);
  out.PutBigEndian16(width);
  out.PutByte(3);
  // Component id, sampling factors H=1 V=1 (no subsampling), quantisation table.
  static constexpr uint8_t kComponents[] = {1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1};
  out.PutBytes(kComponents, sizeof kComponents);
}

void PutHuffmanTable(ByteOutput& out, uint8_t classAndId, const HuffmanTable& table) {
  out.PutByte(classAndId);
  out.PutBytes(table.bits.data(), table.bits.size());
  out.PutBytes(table.values, static_cast<size_t>(table.valueCount));
}

void WriteHuffmanTables(ByteOutput& out) {
  const HuffmanTable* const tables[] = {&kDcLuminanceK3, &kAcLuminanceK5, &kDcChrominanceK4,
                                      &kAcChrominanceK6};
  int length = 2;
  for (const HuffmanTable* table : tables) length += 1 + 16 + table->valueCount;
  PutMarker(out, kDht);
  out.PutBigEndian16(static_cast<uint16_t>(length));
  // Tc/Th: class 0 DC, 1 AC; destination 0 luminance, 1 chrominance.
  PutHuffmanTable(out, 0x00, kDcLuminanceK3);
  PutHuffmanTable(out, 0x10, kAcLuminanceK5);
  PutHuffmanTable(out, 0x01, kDcChrominanceK4);
  PutHuffmanTable(out, 0x11, kAcChrominanceK6);
}

void WriteScanHeader(ByteOutput& out) {
  PutMarker(out, kSos);
  out.PutBigEndian16(6 + 2 * 3);
  out.PutByte(3);
  // Component selector, then DC table << 4 | AC table.
  static constexpr uint8_t kSelectors[] = {1, 0x00, 2, 0x11, 3, 0x11};
  out.PutBytes(kSelectors, sizeof kSelectors);
  // Ss = 0, Se = 63, Ah = Al = 0: all of every block in one sequential scan.
  static constexpr uint8_t kSpectral[] = {0, 63, 0};
  out.PutBytes(kSpectral, sizeof kSpectral);
}

bool BuildTables(uint8_t quality, EncoderTables& tables) {
  tables.lumQuant = ScaleQuantTable(kLuminanceQuantK1, quality);
  tables.chromQuant = ScaleQuantTable(kChrominanceQuantK2, quality);
  tables.lumRecip = BuildReciprocals(tables.lumQuant);
  tables.chromRecip = BuildReciprocals(tables.chromQuant);
  return BuildHuffmanCodes(kDcLuminanceK3, tables.dcLum) &&
         BuildHuffmanCodes(kAcLuminanceK5, tables.acLum) &&
         BuildHuffmanCodes(kDcChrominanceK4, tables.dcChrom) &&
         BuildHuffmanCodes(kAcChrominanceK6, tables.acChrom);
}

// DC predictors, one per component, reset at the start of the scan (F.1.1.5.1).
struct Predictors {
  int16_t y = 0;
  int16_t cb = 0;
  int16_t cr = 0;
};

// Converts the block whose top-left sample is (x, y). Samples past the right or bottom
// edge repeat the last column or row, which keeps partial blocks cheap to code.
void LoadBlock(const Picture& pic, int x, int y, float yBlock[kBlockSize],
               float cbBlock[kBlockSize], float crBlock[kBlockSize]) {
  for (int dy = 0; dy < 8; ++dy) {
    const uint8_t* line = pic.rgb + static_cast<size_t>(std::min(y + dy, pic.height - 1)) * pic.stride;
    for (int dx = 0; dx < 8; ++dx) {
      const uint8_t* px = line + 3 * static_cast<size_t>(std::min(x + dx, pic.width - 1));
      const int k = 8 * dy + dx;
      RgbToYcc(static_cast<float>(px[0]), static_cast<float>(px[1]),
               static_cast<float>(px[2]), yBlock[k], cbBlock[k], crBlock[k]);
    }
  }
}

int16_t CodeBlock(BitWriter& writer, float block[kBlockSize], const ComponentCoding& coding,
                  int16_t predictor) {
  int16_t coef[kBlockSize];
  ForwardDct(block);
  QuantizeBlock(block, *coding.recip, coef);
  return EncodeCoefficients(writer, coef, predictor, *coding.dc, *coding.ac);
}

// The reference form: one MCU (one block per component) at a time.
void EncodeScanScalar(BitWriter& writer, const Picture& pic, const EncoderTables& tables) {
  const ComponentCoding luma = tables.Luma();
  const ComponentCoding chroma = tables.Chroma();
  Predictors pred;
  float yBlock[kBlockSize];
  float cbBlock[kBlockSize];
  float crBlock[kBlockSize];
  for (int y = 0; y < pic.height; y += 8) {
    for (int x = 0; x < pic.width; x += 8) {
      LoadBlock(pic, x, y, yBlock, cbBlock, crBlock);
      pred.y = CodeBlock(writer, yBlock, luma, pred.y);
      pred.cb = CodeBlock(writer, cbBlock, chroma, pred.cb);
      pred.cr = CodeBlock(writer, crBlock, chroma, pred.cr);
    }
  }
}

#if MPG_JPEG_HAVE_SSE2

uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Converts four horizontally adjacent MCUs, block columns firstCol..firstCol+3 of the
// block row at y, into structure-of-arrays form: lane i of out[k] is sample k of the
// i-th MCU. Lanes past the last block column repeat it; the caller drops them.
// With kWordLoads each pixel is read as one 4-byte load (R, G, B and a byte of the
// next pixel), which is only safe away from the last pixel of the picture, so the
// bottom block row reads byte by byte.
template <bool kWordLoads>
void LoadBlocks4(const Picture& pic, int firstCol, int y, F32x4 yOut[kBlockSize],
                 F32x4 cbOut[kBlockSize], F32x4 crOut[kBlockSize]) {
  const int lastCol = (pic.width - 1) / 8;
  size_t offset[8][4];
  for (int lane = 0; lane < 4; ++lane) {
    const int x = 8 * std::min(firstCol + lane, lastCol);
    for (int dx = 0; dx < 8; ++dx) offset[dx][lane] = 3 * static_cast<size_t>(std::min(x + dx, pic.width - 1));
  }
  const __m128i byteMask = _mm_set1_epi32(0xFF);
  for (int dy = 0; dy < 8; ++dy) {
    const uint8_t* line = pic.rgb + static_cast<size_t>(std::min(y + dy, pic.height - 1)) * pic.stride;
    for (int dx = 0; dx < 8; ++dx) {
      const size_t* o = offset[dx];
      __m128i r, g, b;
      if constexpr (kWordLoads) {
        // Little-endian: byte 0 of each 32-bit lane is red, byte 1 green, byte 2 blue.
        const __m128i px = _mm_setr_epi32(
            static_cast<int>(Load32(line + o[0])), static_cast<int>(Load32(line + o[1])),
            static_cast<int>(Load32(line + o[2])), static_cast<int>(Load32(line + o[3])));
        r = _mm_and_si128(px, byteMask);
        g = _mm_and_si128(_mm_srli_epi32(px, 8), byteMask);
        b = _mm_and_si128(_mm_srli_epi32(px, 16), byteMask);
      } else {
        r = _mm_setr_epi32(line[o[0]], line[o[1]], line[o[2]], line[o[3]]);
        g = _mm_setr_epi32(line[o[0] + 1], line[o[1] + 1], line[o[2] + 1], line[o[3] + 1]);
        b = _mm_setr_epi32(line[o[0] + 2], line[o[1] + 2], line[o[2] + 2], line[o[3] + 2]);
      }
      // Integer to float is exact for 0..255, as the scalar cast is.
      const int k = 8 * dy + dx;
      RgbToYcc(F32x4(_mm_cvtepi32_ps(r)), F32x4(_mm_cvtepi32_ps(g)),
               F32x4(_mm_cvtepi32_ps(b)), yOut[k], cbOut[k], crOut[k]);
    }
  }
}

void TransformMcusSse2(const Picture& pic, int firstCol, int y, const float* lumRecip,
                       const float* chromRecip, const McuCoefficients& out) {
  alignas(16) F32x4 ySoa[kBlockSize];
  alignas(16) F32x4 cbSoa[kBlockSize];
  alignas(16) F32x4 crSoa[kBlockSize];
  if (y + 8 >= pic.height) {
    LoadBlocks4<false>(pic, firstCol, y, ySoa, cbSoa, crSoa);
  } else {
    LoadBlocks4<true>(pic, firstCol, y, ySoa, cbSoa, crSoa);
  }
  ForwardDct(ySoa);
  ForwardDct(cbSoa);
  ForwardDct(crSoa);
  QuantizeBlocks(ySoa, lumRecip, out.yZigzag);
  QuantizeBlocks(cbSoa, chromRecip, out.cbZigzag);
  QuantizeBlocks(crSoa, chromRecip, out.crZigzag);
}

#endif  // MPG_JPEG_HAVE_SSE2

// kLanes MCUs per step through a SIMD kernel's numeric path; the entropy coder then
// takes the blocks in scan order, MCU by MCU and Y, Cb, Cr within each.
template <int kLanes>
void EncodeScanLanes(BitWriter& writer, const Picture& pic, const EncoderTables& tables,
                     McuTransform transform) {
  static_assert(kLanes <= kMaxMcusPerCall);
  const ComponentCoding luma = tables.Luma();
  const ComponentCoding chroma = tables.Chroma();
  const int blockCols = (pic.width + 7) / 8;
  alignas(32) int16_t yCoef[kLanes * kBlockSize];
  alignas(32) int16_t cbCoef[kLanes * kBlockSize];
  alignas(32) int16_t crCoef[kLanes * kBlockSize];
  const McuCoefficients coef{yCoef, cbCoef, crCoef};
  const int16_t* const zigzag[kMcuBlocks] = {yCoef, cbCoef, crCoef};
  // The DC predictors start from 0 at the start of the scan (F.1.1.5.1).
  BlockCoder coders[kMcuBlocks] = {
      {luma.dc, luma.ac, 0}, {chroma.dc, chroma.ac, 0}, {chroma.dc, chroma.ac, 0}};
  for (int y = 0; y < pic.height; y += 8) {
    for (int col = 0; col < blockCols; col += kLanes) {
      transform(pic, col, y, luma.recip->data(), chroma.recip->data(), coef);
      EncodeMcus(writer, zigzag, std::min(kLanes, blockCols - col), coders);
    }
  }
}

void EncodeScan(BitWriter& writer, const Picture& pic, const EncoderTables& tables,
                Kernel kernel) {
  if (kernel == Kernel::kBest) kernel = HasAvx2Kernel() ? Kernel::kAvx2 : Kernel::kSse2;
#if MPG_JPEG_HAVE_AVX2
  if (kernel == Kernel::kAvx2 && HasAvx2Kernel()) {
    EncodeScanLanes<8>(writer, pic, tables, TransformMcusAvx2);
    return;
  }
#endif
#if MPG_JPEG_HAVE_SSE2
  if (kernel != Kernel::kScalar) {
    EncodeScanLanes<4>(writer, pic, tables, TransformMcusSse2);
    return;
  }
#endif
  EncodeScanScalar(writer, pic, tables);
}

// Collects the encoder's output in a vector; remembers a failed allocation instead of
// throwing through the encoder.
class VectorSink final : public ByteSink {
 public:
  explicit VectorSink(std::vector<uint8_t>& out) : out_(out) {}

  void Write(const uint8_t* bytes, size_t count) noexcept override {
    if (failed_) return;
    try {
      out_.insert(out_.end(), bytes, bytes + count);
    } catch (const std::bad_alloc&) {
      failed_ = true;
    }
  }

  bool failed() const { return failed_; }

 private:
  std::vector<uint8_t>& out_;
  bool failed_ = false;
};

// The sizes a JPEG frame header can state.
bool IsEncodableSize(int32_t width, int32_t height) {
  return width >= 1 && width <= kMaxDimension && height >= 1 && height <= kMaxDimension;
}

uint8_t EffectiveQuality(int32_t quality) {
  return static_cast<uint8_t>(quality < 0 || quality > 100 ? kDefaultQuality : quality);
}

}  // namespace

bool HasSse2Kernel() noexcept {
#if MPG_JPEG_HAVE_SSE2
  return true;
#else
  return false;
#endif
}

bool HasAvx2Kernel() noexcept {
#if MPG_JPEG_HAVE_AVX2
  // The compiler's check (libgcc, compiler-rt) also asks the operating system, through
  // XGETBV, whether it saves the AVX registers.
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported;
#else
  return false;
#endif
}

bool EncodeJpeg(ByteSink& sink, const uint8_t* rgb, uint16_t width, uint16_t height,
                uint8_t quality, std::string_view comment, Kernel kernel) noexcept {
  if (rgb == nullptr || width == 0 || height == 0 || comment.size() > kMaxSegmentPayload) {
    return false;
  }
  EncoderTables tables;
  if (!BuildTables(quality, tables)) return false;
  const Picture pic{rgb, width, height, size_t{width} * 3};

  ByteOutput out(sink);
  WriteSoiAndJfif(out);
  WriteComment(out, comment);
  WriteQuantTables(out, tables);
  WriteFrameHeader(out, width, height);
  WriteHuffmanTables(out);
  WriteScanHeader(out);
  BitWriter writer(out);
  EncodeScan(writer, pic, tables, kernel);
  writer.Flush();
  PutMarker(out, kEoi);
  out.Flush();
  return true;
}

bool EncodeJpegToMemory(const uint8_t* rgb, int32_t width, int32_t height,
                        int32_t quality, std::vector<uint8_t>& out, Kernel kernel) noexcept {
  out.clear();
  if (rgb == nullptr || !IsEncodableSize(width, height)) return false;
  VectorSink sink(out);
  const bool ok = EncodeJpeg(sink, rgb, static_cast<uint16_t>(width),
                             static_cast<uint16_t>(height), EffectiveQuality(quality),
                             kJpegComment, kernel);
  if (!ok || sink.failed()) {
    out.clear();
    return false;
  }
  return true;
}

}  // namespace mpg::jpeg
