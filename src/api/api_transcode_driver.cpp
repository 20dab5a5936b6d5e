// Conversion export: a file into another container, codec, size or rate.
#include "api/guard.h"

using namespace mpg;

extern "C" MPG_API int32_t MPG_Transcode(const MpgString *, const MpgString *, const TranscodeParams *,
                                         ProgressCallback, uintptr_t) noexcept {
  return Code(StatusFromAv(AVERROR(ENOSYS)));
}
