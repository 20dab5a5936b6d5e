// Conversion exports: transcode and MP3 conversion.
#include "api/guard.h"

using namespace mpg;

extern "C" MPG_API int32_t MPG_Transcode(const MpgString *, const MpgString *, const TranscodeParams *,
                                         ProgressCallback, uintptr_t) noexcept {
  return Code(StatusFromAv(AVERROR(ENOSYS)));
}

extern "C" MPG_API int32_t MP3_Convert(const char *, const char *, int32_t, ProgressCallback,
                                       uintptr_t) noexcept {
  return Code(StatusFromAv(AVERROR(ENOSYS)));
}
