// Concatenation of the segment files of a segmented stream into one MPEG-TS or MP4
// file, by stream copy, with timestamps made continuous across segments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/status.h"
#include "merge/merge_job.h"
#include "mpg.h"

namespace mpg {

// "mpegts" when outputPath ends in a transport-stream extension (ts, m4t, m2t,
// m2ts, mts, in any case) whose dot lies in the file name, not in a folder name;
// "mp4" otherwise.
const char *ConcatMuxerName(const char *outputPath) noexcept;

// Joins segments, in order, into a new job.containerName file at outputPath. The
// output streams come from the first segment (its first video that is not a cover
// picture at index 0 when it has one, then its first usable audio), copied from
// codec parameters alone. The output's timeline starts at 0; each segment moves as
// a whole, keeping its audio and video offset; a segment whose timestamps jump
// back (a discontinuity, a 33-bit wrap, a repeated segment) continues from where
// the output ended, and one that jumps ahead (a gap) keeps the gap unless
// job.rebaseTimestamps asks to close it. Missing segments (and anything that is not a regular file) are
// skipped; a segment that cannot be read from its start (end of file or invalid
// data) is skipped too, and a failure of the last segment is ignored. Progress is
// reported after each segment; a stop finishes the file. With deleteSegments the
// segments read to their end are deleted once the output is finished with its
// trailer after the whole list; a failed or stopped call deletes no segment.
// An empty list or a null output path does nothing and returns Ok. A failure
// deletes the output file if it was opened. Returns Ok, SameFile when the output
// names a segment, VideoStreamNotFound when the first segment has neither a video
// nor a usable audio stream, or the first failure. May throw std::bad_alloc.
Status ConcatenateSegments(MergeJob &job, const std::vector<std::string> &segments, const char *outputPath,
                           bool deleteSegments, ProgressCallback callback, uintptr_t user);

}  // namespace mpg
