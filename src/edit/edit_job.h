// The set-up shared by the single-file edits that write a new file of the input's
// own container type (crop, audio shift, trim): the output context named after
// the input, two input contexts on the input file (one behind the output audio
// stream, one read for packets), and the rule for the output after a failure.
#pragma once

#include <cstdint>

#include "core/av_ptr.h"
#include "core/status.h"

namespace mpg {

// One edit's FFmpeg objects. Members are destroyed in reverse order: codec
// contexts, then the output (closed without a trailer), then the inputs.
struct EditJob {
  InputFormatPtr audioIn;  // behind the output audio stream's parameters; never read
  InputFormatPtr videoIn;  // every packet is read from this one
  OutputFormatPtr out;
  CodecContextPtr audioDecCtx;  // opened by the audio set-up; proves the audio decodes
  CodecContextPtr audioEncCtx;  // never opened: the audio is copied
  AVStream *audioOut = nullptr;
  AVStream *videoOut = nullptr;
  // Streams of videoIn whose packets are written; every other stream is dropped.
  int audioIndex = -1;
  int videoIndex = -1;
};

// The muxer FFmpeg associates with the input's file name; Exit when it knows none.
Status GuessFormatFromInputName(const char *inputPath, const AVOutputFormat *&format) noexcept;

// Allocates job.out for format, named after outputPath, and opens outputPath for
// writing (unless the muxer writes no file). The FFmpeg error of either step.
Status CreateEditOutput(EditJob &job, const AVOutputFormat *format, const char *outputPath) noexcept;

// Opens the input twice: OpenAudioInput gives the output an audio stream with the
// input's own codec and parameters, AddCopyVideoStream a copy of the first video
// stream. The streams copied from videoIn are the very streams those outputs
// describe. AudioStreamNotFound, VideoStreamNotFound, Unknown, or FFmpeg's error.
Status OpenEditInputs(EditJob &job, const char *inputPath) noexcept;

// avformat_write_header with no options; the FFmpeg error.
Status WriteEditHeader(EditJob &job) noexcept;

// What the remux loop asks of a pipeline for each packet of the video stream,
// before the packet leaves the input's time base: Ok to write it, or an error that
// ends the job. Setting stop finishes the file there (the packet is not written).
class VideoPacketStage {
 public:
  virtual Status OnVideoPacket(const AVPacket *pkt, bool &stop) noexcept = 0;

 protected:
  ~VideoPacketStage() = default;
};

// Copies every packet of job.videoIn's two chosen streams to the output, each
// moved to its output stream's time base, and drops the packets of every other
// stream. Audio packets get shiftMs more. The result of a single write is not
// looked at (a muxer may refuse one odd packet of an input; write errors are
// reported by WriteEditTrailer). Ok at the end of the input (AVERROR(EIO) counts
// as its end) and after a stop; the read error or the stage's error otherwise.
Status RemuxPackets(EditJob &job, int32_t shiftMs, VideoPacketStage &stage) noexcept;

// av_write_trailer, then whether every byte reached the file: a write error the
// muxer met on the way (a full disk) is reported here, since the single packet
// writes of a remux do not end the job.
Status WriteEditTrailer(EditJob &job) noexcept;

// The one decision about a failed edit's output: after a failure the output path
// is removed, whatever stood there before the call. Returns st.
Status DeleteOutputOnFailure(Status st, const char *outputPath) noexcept;

}  // namespace mpg
