// Crop: a file rewritten packet by packet into a new file of the container type
// its own name suggests, with its audio and first video stream.
#pragma once

#include "core/status.h"

namespace mpg {

// Writes the best audio stream and the first video stream of inputPath to
// outputPath in the muxer named by the input's file name, every packet with its
// own timestamps; other streams are dropped. The video decoder must open and
// decode the stream's first picture. Logs four diagnostics with av_log at
// AV_LOG_ERROR. Exit when no muxer matches the input's name; SameFile when the
// output names the input (nothing touched); AudioStreamNotFound,
// VideoStreamNotFound, Unknown or FFmpeg's error otherwise, with the output path
// removed.
Status CropFile(const char *inputPath, const char *outputPath) noexcept;

}  // namespace mpg
