// Conversion export: the audio of a file as an MP3 file.
#include "api/guard.h"
#include "transcode/mp3_convert.h"

using namespace mpg;

extern "C" MPG_API int32_t MP3_Convert(const char *inputPath, const char *outputPath, int32_t bitRate,
                                       ProgressCallback callback, uintptr_t user) noexcept {
  if (!inputPath || !*inputPath || !outputPath || !*outputPath) return Code(Status::BadParameter);
  return Guard([&] { return ConvertToMp3(inputPath, outputPath, bitRate, callback, user); });
}
