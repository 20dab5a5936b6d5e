// Still-image exports: a picture from a video as a file or as a BMP in memory.
#include "api/guard.h"

using namespace mpg;

extern "C" MPG_API uint8_t MPG_GetImage(int32_t, const char *, const char *, int32_t, int32_t) noexcept {
  return 0;
}

extern "C" MPG_API uint8_t MPG_GetImageP(int32_t, const char *, const char *, int32_t, int32_t,
                                         int32_t) noexcept {
  return 0;
}

extern "C" MPG_API uint8_t *MPG_GetImageBMP(const char *, int32_t, uint32_t *, int32_t) noexcept {
  return nullptr;
}

extern "C" MPG_API uint8_t MPG_GetImageJPG(const char *, const char *, int32_t, int32_t) noexcept { return 0; }
