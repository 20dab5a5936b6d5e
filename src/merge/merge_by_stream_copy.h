// The merge of a video file and an audio file by stream copy into "mp4", "avi" or
// "webm": nothing is decoded, packets of the two inputs are interleaved by time.
#pragma once

#include <cstdint>

#include "core/status.h"
#include "merge/merge_job.h"
#include "mpg.h"

namespace mpg {

// Copies the first video stream of videoPath (output index 0) and the first usable
// audio stream of audioPath (index 1) into a new job.containerName file at
// outputPath. Reports progress from the video packets and, before copying, the
// first dts of each input as text; a stop by the callback finishes the file and
// returns Ok. On failure the file stays as far as it was written. The caller has
// refused an output path naming an input. Returns Ok or the first failure:
// Exit for an unknown muxer, the FFmpeg error of an open, probe, header or read,
// the codes of the copy-stream openers, or the last write error once more than
// job.maxWriteErrors writes have failed (then without a trailer). job.status
// holds the result too. May throw std::bad_alloc.
Status MergeByStreamCopy(MergeJob &job, const char *videoPath, const char *audioPath, const char *outputPath,
                         ProgressCallback callback, uintptr_t user);

}  // namespace mpg
