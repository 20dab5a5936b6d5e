// The merge job record shared by the merges of a video file and an audio file (by
// stream copy, or with the audio re-encoded), and the length they report progress by.
#pragma once

#include <cstdint>
#include <string>

#include "core/av_ptr.h"
#include "core/output_file.h"
#include "core/status.h"

namespace mpg {

// One export call's merge: its container and the FFmpeg objects it
// owns. When a merge starts, videoIn and audioIn are open and positioned at their
// start: each input is opened once per call, for the container choice and the
// merge alike. Members are destroyed in reverse order: the output goes (and with
// it a file it opened and did not finish) before the inputs close.
struct MergeJob {
  std::string containerName;  // short muxer name ("mp4", "avi", "webm", "matroska")

  InputFormatPtr videoIn;
  InputFormatPtr audioIn;
  OutputFile out;
};

// Makes job.out's muxer context for job.containerName, named after outputPath; no
// file is opened. kNoMuxer when FFmpeg knows no such muxer, else the FFmpeg error.
Status CreateOutputContext(MergeJob &job, const char *outputPath) noexcept;

// The first pair's measured length when it is not 0, else the second pair's, in
// whole seconds; any of the four may be null. Each input measured is put back at
// its stream's first packet, so a merge reads it whole from there.
int64_t MeasureMergeDuration(AVFormatContext *ctx1, AVStream *st1, AVFormatContext *ctx2,
                             AVStream *st2) noexcept;

}  // namespace mpg
