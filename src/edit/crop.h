// Crop: a file rewritten packet by packet into a new file of the container type
// its own name suggests, with its audio and first video stream.
#pragma once

#include "core/status.h"

namespace mpg {

// Writes the best audio stream and the first moving video stream of inputPath to
// outputPath in the muxer named by the input's file name, the timeline moved to
// start at 0 as every copy does; other streams are dropped. The video decoder must open, and
// decode the stream's first picture by the rule for rejected packets. Logs one of
// four diagnostics with av_log at AV_LOG_ERROR when the input, its streams or the
// decoder fail. kNoMuxer when no muxer matches the input's name; SameFile when
// the output names the input; AudioStreamNotFound, VideoStreamNotFound,
// kNoCodec or FFmpeg's error otherwise. A failure before the output is
// opened leaves the output path untouched; one after removes the file.
Status CropFile(const char *inputPath, const char *outputPath) noexcept;

}  // namespace mpg
