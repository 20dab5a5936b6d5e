// PPM and BMP writers for the frame grab. They refuse null or non-positive arguments
// before touching the file system; a file they opened and could not write completely
// is removed again.
#include "image/image_writers.h"

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>

#include "platform/platform.h"

namespace mpg {

namespace {

constexpr uint32_t kBmpFileHeaderSize = 14;  // BITMAPFILEHEADER
constexpr uint32_t kBmpInfoHeaderSize = 40;  // BITMAPINFOHEADER
constexpr uint32_t kBmpHeadersSize = kBmpFileHeaderSize + kBmpInfoHeaderSize;
constexpr uint16_t kBmpBitsPerPixel = 24;
constexpr uint32_t kBiRgb = 0;  // uncompressed

// Sizes of a BMP file image of a width x height picture.
struct BmpLayout {
  uint32_t rowStride;  // width * 3 rounded up to a multiple of 4: BMP rows are 4-aligned
  uint32_t pixelSize;  // rowStride * height
  uint32_t fileSize;   // headers + pixels
};

// False when the picture is empty or its file size does not fit the 32-bit bfSize.
bool ComputeBmpLayout(int32_t width, int32_t height, BmpLayout& layout) {
  if (width < 1 || height < 1) return false;
  const uint64_t stride = (uint64_t{static_cast<uint32_t>(width)} * 3 + 3) & ~uint64_t{3};
  const uint64_t pixels = stride * static_cast<uint32_t>(height);
  if (pixels > std::numeric_limits<uint32_t>::max() - kBmpHeadersSize) return false;
  layout.rowStride = static_cast<uint32_t>(stride);
  layout.pixelSize = static_cast<uint32_t>(pixels);
  layout.fileSize = static_cast<uint32_t>(pixels) + kBmpHeadersSize;
  return true;
}

uint8_t* PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  return p + 2;
}

uint8_t* PutLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
  return p + 4;
}

// Fills dst (layout.fileSize bytes) with the whole file image. The one routine behind
// both the BMP file and the in-memory BMP, so the two are the same bytes.
void FillBmpImage(uint8_t* dst, const uint8_t* rgb, int32_t width, int32_t height,
                  const BmpLayout& layout) {
  uint8_t* p = dst;
  // BITMAPFILEHEADER
  *p++ = 'B';
  *p++ = 'M';
  p = PutLe32(p, layout.fileSize);
  p = PutLe16(p, 0);  // bfReserved1
  p = PutLe16(p, 0);  // bfReserved2
  p = PutLe32(p, kBmpHeadersSize);  // bfOffBits: no colour table precedes the pixels
  // BITMAPINFOHEADER
  p = PutLe32(p, kBmpInfoHeaderSize);
  p = PutLe32(p, static_cast<uint32_t>(width));
  p = PutLe32(p, static_cast<uint32_t>(-height));  // negative: top row stored first
  p = PutLe16(p, 1);  // biPlanes
  p = PutLe16(p, kBmpBitsPerPixel);
  p = PutLe32(p, kBiRgb);
  p = PutLe32(p, layout.pixelSize);  // biSizeImage
  p = PutLe32(p, 0);  // biXPelsPerMeter: unknown
  p = PutLe32(p, 0);  // biYPelsPerMeter: unknown
  p = PutLe32(p, 0);  // biClrUsed: no palette
  p = PutLe32(p, 0);  // biClrImportant

  const size_t srcStride = size_t{static_cast<uint32_t>(width)} * 3;
  for (int32_t row = 0; row < height; ++row) {
    const uint8_t* src = rgb + srcStride * static_cast<size_t>(row);
    uint8_t* out = p + size_t{layout.rowStride} * static_cast<size_t>(row);
    for (size_t i = 0; i < srcStride; i += 3) {
      // 24-bit BMP pixels are blue, green, red.
      out[i] = src[i + 2];
      out[i + 1] = src[i + 1];
      out[i + 2] = src[i];
    }
    for (size_t i = srcStride; i < layout.rowStride; ++i) out[i] = 0;
  }
}

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

bool WriteAll(std::FILE* file, const void* bytes, size_t count) noexcept {
  return count == 0 || std::fwrite(bytes, 1, count, file) == count;
}

}  // namespace

bool WriteImageBytes(const char* path, std::string_view head,
                     std::span<const uint8_t> body) noexcept {
  if (path == nullptr) return false;
  std::unique_ptr<std::FILE, FileCloser> file(platform::OpenForWriting(path));
  if (!file) return false;
  bool written = WriteAll(file.get(), head.data(), head.size()) &&
                 WriteAll(file.get(), body.data(), body.size());
  // fclose flushes the buffered tail: a full disk may first show here.
  written = std::fclose(file.release()) == 0 && written;
  // Only a regular file is removed: a device such as /dev/full stays.
  if (!written && platform::GetFileKind(path) == platform::FileKind::Regular) {
    platform::DeleteFile(path);
  }
  return written;
}

bool WritePpmFile(const char* path, const uint8_t* rgb, int32_t width,
                  int32_t height) noexcept {
  if (path == nullptr || rgb == nullptr || width < 1 || height < 1) return false;
  // Binary P6, maximum sample value 255 (one byte per sample), no comment lines.
  char head[48];
  const int headSize = std::snprintf(head, sizeof head, "P6\n%d %d\n255\n", width, height);
  const size_t count = size_t{static_cast<uint32_t>(width)} * static_cast<uint32_t>(height) * 3;
  return WriteImageBytes(path, std::string_view(head, static_cast<size_t>(headSize)), {rgb, count});
}

bool WriteBmpFile(const char* path, const uint8_t* rgb, int32_t width,
                  int32_t height) noexcept {
  BmpLayout layout{};
  if (path == nullptr || rgb == nullptr || !ComputeBmpLayout(width, height, layout)) {
    return false;
  }
  std::unique_ptr<uint8_t, decltype(&std::free)> image(static_cast<uint8_t*>(std::malloc(layout.fileSize)),
                                                       &std::free);
  if (!image) return false;
  FillBmpImage(image.get(), rgb, width, height, layout);
  return WriteImageBytes(path, {}, {image.get(), layout.fileSize});
}

uint8_t* BuildBmpInMemory(const uint8_t* rgb, int32_t width, int32_t height,
                          uint32_t* sizeOut) noexcept {
  BmpLayout layout{};
  if (rgb == nullptr || sizeOut == nullptr || !ComputeBmpLayout(width, height, layout)) {
    return nullptr;
  }
  // malloc, not new: the buffer goes to the host, which releases it with free().
  auto* image = static_cast<uint8_t*>(std::malloc(layout.fileSize));
  if (image == nullptr) return nullptr;
  FillBmpImage(image, rgb, width, height, layout);
  *sizeOut = layout.fileSize;
  return image;
}

}  // namespace mpg
