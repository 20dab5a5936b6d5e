// The set-up shared by the single-file edits that write a new file of the input's
// own container type (crop, audio shift, trim): the output context named after
// the input, the input opened once with its audio and moving video stream chosen,
// stream-copy outputs made from codec parameters alone, and the rule for the
// output after a failure.
#pragma once

#include <cstdint>

#include "core/av_ptr.h"
#include "core/status.h"

namespace mpg {

// One edit's FFmpeg objects. Members are destroyed in reverse order: the output
// (closed without a trailer), then the input.
struct EditJob {
  InputFormatPtr videoIn;  // the input; every packet is read from it
  OutputFormatPtr out;
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

// Opens the input into job.videoIn, chooses its best audio stream and its first
// video stream that is not an attached picture (a cover is no video to edit), and
// gives job.out a stream-copy stream of each, from codec parameters alone: no
// encoder or decoder is needed, so codecs this build cannot encode (WMV3, VP6F)
// are copied too. AudioStreamNotFound, VideoStreamNotFound, NoMemory, or FFmpeg's
// error of the open, the probe or the parameter copy.
Status OpenEditInputs(EditJob &job, const char *inputPath) noexcept;

// avformat_write_header with no options; the FFmpeg error.
Status WriteEditHeader(EditJob &job) noexcept;

// What the remux loop asks of a pipeline for each packet of the video stream,
// before its timestamps are touched (they are still the input's): Ok to write it,
// or an error that ends the job. Setting stop finishes the file there (the packet
// is not written).
class VideoPacketStage {
 public:
  virtual Status OnVideoPacket(const AVPacket *pkt, bool &stop) noexcept = 0;

 protected:
  ~VideoPacketStage() = default;
};

// Copies every packet of job.videoIn's two chosen streams to the output and drops
// the packets of every other stream. The input's start is taken off every packet,
// so the output starts at 0 as the ffmpeg tool's copies do (a TS or DASH segment
// starts at 10 s, or near the 33-bit wrap) while audio and video keep their offset
// to each other; audio packets then get shiftMs more. Each packet is moved to its
// output stream's time base. The result of a single write is not looked at (a
// muxer may refuse one odd packet of an input; write errors are reported by
// WriteEditTrailer). Ok at the end of the input (AVERROR(EIO) counts as its end)
// and after a stop; the read error or the stage's error otherwise.
Status RemuxPackets(EditJob &job, int32_t shiftMs, VideoPacketStage &stage) noexcept;

// av_write_trailer, then whether every byte reached the file: a write error the
// muxer met on the way (a full disk) is reported here, since the single packet
// writes of a remux do not end the job.
Status WriteEditTrailer(EditJob &job) noexcept;

// The one decision about a failed edit's output: after a failure the output path
// is removed, whatever stood there before the call. Returns st.
Status DeleteOutputOnFailure(Status st, const char *outputPath) noexcept;

}  // namespace mpg
