// The merge of a video file and an audio file by stream copy into the container the
// caller names ("mp4", "avi", "webm", "matroska"): nothing is decoded, packets of
// the two inputs are interleaved by time.
#pragma once

#include <cstdint>

#include "core/av_ptr.h"
#include "core/status.h"
#include "merge/merge_job.h"
#include "mpg.h"

namespace mpg {

// Adds to out a copy stream (core's AddCopyStream) of the first moving video stream
// of in: an attached picture (a song's cover art) is not taken for the video.
// outStream receives the new stream, owned by out. VideoStreamNotFound, else the
// codes of AddCopyStream.
Status AddVideoCopyStream(AVFormatContext *out, const AVFormatContext *in, AVStream *&outStream) noexcept;
// The same for the first usable audio stream (channels and sample rate known):
// AudioStreamNotFound, else the codes of AddCopyStream.
Status AddAudioCopyStream(AVFormatContext *out, const AVFormatContext *in, AVStream *&outStream) noexcept;

// Copies the first moving video stream of job.videoIn (output index 0; a cover
// picture is not taken for it) and the first usable audio stream of job.audioIn
// (index 1), both open at their start, into a new job.containerName file at
// outputPath. Each input is moved to start at 0 (its file's start time is taken
// off, as the ffmpeg tool does). Reports progress from the video packets and,
// before copying, the first dts of each input as text. An input ends at its end
// of file, at an I/O error and at invalid data; what was read is kept. A stop by
// the callback finishes the file and returns Ok. The caller has refused an output
// path naming an input. Returns Ok or the first failure: kNoMuxer, the codes
// of the copy-stream makers (before anything is written), the FFmpeg error of the
// header, of a read that is no end of input, of a write (OutputFile::Write's
// rule) or of the trailer, and VideoStreamNotFound when no video packet could be
// written. A failure removes the file if the merge opened it. May throw
// std::bad_alloc.
Status MergeByStreamCopy(MergeJob &job, const char *outputPath, ProgressCallback callback, uintptr_t user);

}  // namespace mpg
