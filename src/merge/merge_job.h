// The merge job record shared by the merges of two inputs, the segment
// concatenation and the FLV repair, and the openers that give an output a
// stream-copy stream of an input file's video or audio.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/av_ptr.h"
#include "core/output_file.h"
#include "core/status.h"

namespace mpg {

// Where one kind of stream (video or audio) of a concatenation's output has got
// to, in the output stream's time base. The output's timeline starts at 0.
struct ConcatTrack {
  int64_t end = 0;                   // the largest pts + duration written
  int64_t lastDts = AV_NOPTS_VALUE;  // the last written dts
  int64_t step = 0;                  // the last packet's duration, or its dts step when it states none
  int64_t shift = 0;                 // added to every rescaled timestamp of the segment being appended
};

// What carries the continuity of a concatenation from one segment to the next.
struct ConcatState {
  ConcatTrack video;
  ConcatTrack audio;
  bool started = false;  // a packet has been written
};

// One export call's merge: its parameters, its result and the FFmpeg objects it
// owns. Members are destroyed in reverse order: the output is closed (without a
// trailer) before the inputs.
struct MergeJob {
  explicit MergeJob(std::string muxerName) : containerName(std::move(muxerName)) {}

  std::string containerName;  // short muxer name handed to av_guess_format
  Status status = Status::Ok;
  int32_t maxWriteErrors = 25;  // counted packet-write failures a copy merge tolerates
  bool rebaseTimestamps = false;
  ConcatState concat;

  InputFormatPtr videoIn;
  InputFormatPtr audioIn;
  OutputFormatPtr out;
};

// Creates job.out for job.containerName, named after outputPath; no file is opened.
// Exit when FFmpeg knows no such muxer, else the FFmpeg error.
Status CreateOutputContext(MergeJob &job, const char *outputPath) noexcept;

// Adds to out a stream-copy stream of the first moving video stream of the open
// input in: an attached picture (a song's cover art) is not taken for the video.
// The stream is made from the codec parameters alone, so codecs this build cannot
// encode or decode (WMV3, VP6F) copy too. outStream receives the new stream, owned
// by out. VideoStreamNotFound (also when the only picture is a cover); NoMemory
// when the stream cannot be made; the FFmpeg error of the parameter copy.
Status AddVideoCopyStream(AVFormatContext *out, AVFormatContext *in, AVStream *&outStream) noexcept;
// The same for the first usable audio stream (channels and sample rate known):
// AudioStreamNotFound, NoMemory, or the FFmpeg error of the parameter copy.
Status AddAudioCopyStream(AVFormatContext *out, AVFormatContext *in, AVStream *&outStream) noexcept;

// Opens the file at path, reads its stream information and adds its video (audio)
// to out as above. On success in owns the open input, positioned at its start;
// on failure in is empty and the first failing step's status is returned (the
// FFmpeg error of the open or the probe, then the codes of Add*CopyStream).
Status OpenVideoInputForCopy(AVFormatContext *out, const char *path, InputFormatPtr &in,
                             AVStream *&outStream) noexcept;
Status OpenAudioInputForCopy(AVFormatContext *out, const char *path, InputFormatPtr &in,
                             AVStream *&outStream) noexcept;

// The first pair's measured length when it is not 0, else the second pair's;
// any of the four may be null.
int64_t MeasureMergeDuration(AVFormatContext *ctx1, AVStream *st1, AVFormatContext *ctx2,
                             AVStream *st2) noexcept;

}  // namespace mpg
