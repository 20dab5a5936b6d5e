// Audio shift: a file remuxed into its own container type with every audio
// timestamp moved by a constant number of milliseconds.
#pragma once

#include <cstdint>

#include "core/status.h"
#include "mpg.h"

namespace mpg {

// Writes the best audio stream and the first moving video stream of inputPath to
// outputPath in the muxer named by the input's file name; audio packets get
// shiftMs more (positive delays the sound), video packets keep their times, other
// streams are dropped. Progress goes to callback from the video packets' times
// over the video stream's length, never above ProgressScale, and ends with
// ProgressScale once the file is finished, also after a stop by the host (the
// answer to it is not read); a stop finishes the file and succeeds. kNoMuxer when no muxer matches the
// input's name; SameFile when the output names the input; AudioStreamNotFound,
// VideoStreamNotFound or FFmpeg's error otherwise. A failure before the output is
// opened leaves the output path untouched; one after removes the file.
Status ShiftAudioFile(const char *inputPath, const char *outputPath, int32_t shiftMs, ProgressCallback callback,
                      uintptr_t user) noexcept;

}  // namespace mpg
