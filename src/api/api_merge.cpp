// Merging exports: a video file with an audio file, and a list of segments.
#include "api/guard.h"

using namespace mpg;

extern "C" MPG_API int32_t MPG_MergeAV(const char *, const char *, const char *, ProgressCallback,
                                       uintptr_t) noexcept {
  return Code(StatusFromAv(AVERROR(ENOSYS)));
}

extern "C" MPG_API int32_t MPG_Merge(const char *const *, const char *, int32_t, uint8_t,
                                     ProgressCallback, uintptr_t) noexcept {
  return Code(StatusFromAv(AVERROR(ENOSYS)));
}
