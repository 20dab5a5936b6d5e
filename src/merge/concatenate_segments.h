// Concatenation of the segment files of a segmented stream into one MPEG-TS or MP4
// file, by stream copy, with timestamps made continuous across segments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/status.h"
#include "mpg.h"

namespace mpg {

// "mpegts" when outputPath ends in a transport-stream extension (ts, m4t, m2t,
// m2ts, mts, in any case) whose dot lies in the file name, not in a folder name;
// "mp4" otherwise.
const char *ConcatMuxerName(const char *outputPath) noexcept;

// Joins segments, in order, into a new ConcatMuxerName(outputPath) file at
// outputPath. The output streams come from the first segment (its first video that
// is not a cover picture at index 0 when it has one, then its first usable audio),
// copied from codec parameters alone. The output's timeline starts at 0; each
// segment moves as a whole, keeping its audio and video offset; a segment whose
// timestamps jump back (a discontinuity, a 33-bit wrap, a repeated segment)
// continues from where the output ended, and one that jumps ahead (a gap) keeps
// the gap unless rebaseTimestamps asks to close it. Missing segments (and anything
// that is not a regular file) are skipped, and so is a segment that does not open
// as media (no media data, invalid data) and any segment that fails to open last
// in the list. A segment ends at its end of file, at an I/O error or at invalid
// data, keeping what was read, and the next one follows. Progress is reported
// after each segment; a stop finishes the file and returns Ok. With deleteSegments
// the segments read to their end are deleted once the output is finished after the
// whole list; a failed or stopped call deletes no segment. An empty list or a null
// output path does nothing and returns Ok. A failure removes the output file if the
// call opened it. Returns Ok, SameFile when the output names a segment,
// VideoStreamNotFound when the first segment has neither a video nor a usable
// audio stream (or a middle one opens with neither), or the first failure of a
// read, a write (OutputFile::Write's rule), the header or the trailer. May throw
// std::bad_alloc.
Status ConcatenateSegments(const std::vector<std::string> &segments, const char *outputPath, bool deleteSegments,
                           bool rebaseTimestamps, ProgressCallback callback, uintptr_t user);

}  // namespace mpg
