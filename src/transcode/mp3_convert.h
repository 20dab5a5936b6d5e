// MP3 conversion: the best audio stream of a media file, decoded, converted to the
// MP3 encoder's format and an MPEG sample rate, and written with the "mp3" muxer
// at a bit rate chosen from the input's own rates, the caller's cap and the rate.
#pragma once

#include <cstdint>

#include "core/status.h"
#include "mpg.h"

namespace mpg {

// Converts the audio of inputPath into an MP3 file at outputPath. requestedBitRate
// (bit/s) caps the input's rate when above 0. Progress goes to callback (may be
// null) in ProgressScale units, at least every 20 encoded frames, ending with
// ProgressScale; a stop answer finishes the file so far and returns Ok.
// SameFile when outputPath names the input; BadParameter for a null or empty path;
// Exit without an "mp3" muxer; AudioStreamNotFound; Unknown when a codec is
// missing; InvalidData after 20 undecodable packets, or when the input ends
// without one decoded audio frame; else the FFmpeg error of the failing step. The
// output file is created only once the encoder is open and is left as written on
// a later failure, except when no audio was written at all, which deletes it.
Status ConvertToMp3(const char *inputPath, const char *outputPath, int32_t requestedBitRate,
                    ProgressCallback callback, uintptr_t user) noexcept;

}  // namespace mpg
