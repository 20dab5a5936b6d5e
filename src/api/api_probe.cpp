// Inspection exports: the media information record and the audio duration.
#include "api/guard.h"

using namespace mpg;

extern "C" MPG_API uint8_t MPG_GetMediaInfo(const char *, MpgMediaInfo *) noexcept { return 0; }

extern "C" MPG_API uint32_t MPG_GetAudioDuration(const char *) noexcept { return 0; }
