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
// ProgressScale at the end of the input; a stop answer finishes the file so far,
// sends ProgressScale once more (its answer unread) and returns Ok.
// SameFile when outputPath names the input; BadParameter for a null or empty path;
// kNoMuxer without an "mp3" muxer; AudioStreamNotFound; kNoCodec when a codec is
// missing; the decoder's error after 50 rejected
// packets in a row; InvalidData when the input ends without one decoded audio
// frame; else the FFmpeg error of the failing step. The output file is opened
// only once the input and the codecs are open, and a later failure removes it.
Status ConvertToMp3(const char *inputPath, const char *outputPath, int32_t requestedBitRate,
                    ProgressCallback callback, uintptr_t user) noexcept;

}  // namespace mpg
