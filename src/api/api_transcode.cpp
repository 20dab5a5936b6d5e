// Conversion exports: transcode and MP3 conversion.
#include "api/guard.h"
#include "transcode/mp3_convert.h"

using namespace mpg;

extern "C" MPG_API int32_t MPG_Transcode(const MpgString *, const MpgString *, const TranscodeParams *,
                                         ProgressCallback, uintptr_t) noexcept {
  return Code(StatusFromAv(AVERROR(ENOSYS)));
}

extern "C" MPG_API int32_t MP3_Convert(const char *inputPath, const char *outputPath, int32_t bitRate,
                                       ProgressCallback callback, uintptr_t user) noexcept {
  if (!inputPath || !*inputPath || !outputPath || !*outputPath) return Code(Status::BadParameter);
  return Guard([&] { return ConvertToMp3(inputPath, outputPath, bitRate, callback, user); });
}
