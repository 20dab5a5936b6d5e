// The merge of a video file and an audio file by stream copy into the container the
// caller names ("mp4", "avi", "webm", "matroska"): nothing is decoded, packets of
// the two inputs are interleaved by time.
#pragma once

#include <cstdint>

#include "core/status.h"
#include "merge/merge_job.h"
#include "mpg.h"

namespace mpg {

// Copies the first moving video stream of videoPath (output index 0; a cover
// picture is not taken for it) and the first usable audio stream of audioPath
// (index 1) into a new job.containerName file at outputPath. Each input is moved
// to start at 0 (its file's start time is taken off, as the ffmpeg tool does), and
// each stream takes the time base the ffmpeg tool's copy gives it. Reports progress
// from the video packets and, before copying, the first dts of each input as text;
// a stop by the callback finishes the file and returns Ok. On failure the file
// stays as far as it was written. The caller has refused an output path naming an
// input. Returns Ok or the first failure: Exit for an unknown muxer, the FFmpeg
// error of an open, probe, header or read, the codes of the copy-stream openers,
// the last write error once more than job.maxWriteErrors writes have failed (then
// without a trailer), and VideoStreamNotFound (or the last video write error)
// when no video packet could be written. job.status holds the result too. May
// throw std::bad_alloc.
Status MergeByStreamCopy(MergeJob &job, const char *videoPath, const char *audioPath, const char *outputPath,
                         ProgressCallback callback, uintptr_t user);

}  // namespace mpg
