// Fuzzes the JPEG encoder and the BMP builder with arbitrary small pictures: the
// first bytes choose width, height and quality, the rest are pixels (repeated to
// fill the picture). Every output byte is read so uninitialised bytes would show.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "image/image_writers.h"
#include "image/jpeg/jpeg_encoder.h"

namespace {

uint32_t Checksum(const uint8_t *data, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 0; i < size; ++i) sum = sum * 31 + data[i];
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 4) return 0;
  // Sizes up to 200x200 keep each run fast while covering partial edge blocks.
  const int32_t width = 1 + data[0] % 200;
  const int32_t height = 1 + data[1] % 200;
  const int32_t quality = static_cast<int8_t>(data[2]) * 2;  // -256..254: out-of-range too
  const uint8_t *pixels = data + 3;
  const size_t available = size - 3;
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = pixels[i % available];

  volatile uint32_t sink = 0;
  std::vector<uint8_t> jpeg;
  if (mpg::jpeg::EncodeJpegToMemory(rgb.data(), width, height, quality, jpeg)) {
    sink = sink + Checksum(jpeg.data(), jpeg.size());
    std::vector<uint8_t> scalar;
    mpg::jpeg::EncodeJpegToMemory(rgb.data(), width, height, quality, scalar, mpg::jpeg::Kernel::kScalar);
    if (scalar != jpeg) std::abort();  // the fast kernel must give the reference bytes
  }
  uint32_t bmpSize = 0;
  if (uint8_t *bmp = mpg::BuildBmpInMemory(rgb.data(), width, height, &bmpSize)) {
    sink = sink + Checksum(bmp, bmpSize);
    std::free(bmp);
  }
  return 0;
}
