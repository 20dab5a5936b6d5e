// Single-file edit exports: crop, trim, audio shift and FLV duration repair.
#include "api/guard.h"

using namespace mpg;

extern "C" MPG_API int32_t MPG_ShiftAudio(const char *, const char *, int32_t, ProgressCallback,
                                          uintptr_t) noexcept {
  return Code(StatusFromAv(AVERROR(ENOSYS)));
}

extern "C" MPG_API int32_t MPG_Crop(const char *, const char *) noexcept {
  return Code(StatusFromAv(AVERROR(ENOSYS)));
}

extern "C" MPG_API int32_t MPG_SaveTrimmedVideo(const char *, const char *, int32_t, int32_t) noexcept {
  return Code(StatusFromAv(AVERROR(ENOSYS)));
}

extern "C" MPG_API int32_t FLV_FixDuration(const char *) noexcept { return Code(StatusFromAv(AVERROR(ENOSYS))); }
