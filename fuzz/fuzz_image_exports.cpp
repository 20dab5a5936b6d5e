// Fuzzes the still-picture exports on arbitrary bytes: the picture written as each
// image format, and the BMP built in memory.
#include <cstdlib>

#include "fuzz_support.h"
#include "mpg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string in = fuzz::WriteInput("image.bin", data, size);
  const std::string out = fuzz::WorkPath("image.out");
  const int32_t height = size > 0 ? data[0] % 64 : 0;
  MPG_GetImage(size % 3, in.c_str(), out.c_str(), height, 75);
  MPG_GetImageP(MPG_IMAGE_JPEG, in.c_str(), out.c_str(), 50, height, 60);
  MPG_GetImageJPG(in.c_str(), out.c_str(), 1, height);
  uint32_t bmpSize = 0;
  if (uint8_t *bmp = MPG_GetImageBMP(in.c_str(), 0, &bmpSize, height)) {
    volatile uint8_t last = bmp[bmpSize - 1];
    (void)last;
    std::free(bmp);
  }
  fuzz::Remove(out);
  return 0;
}
