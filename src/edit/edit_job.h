// The set-up shared by the single-file edits that write a new file of the input's
// own container type (crop, audio shift, trim): the output named after the input,
// the input opened once with its audio and moving video stream chosen, stream-copy
// outputs made from codec parameters alone, and the copy loop.
#pragma once

#include <cstdint>

#include "core/av_ptr.h"
#include "core/output_file.h"
#include "core/status.h"

namespace mpg {

// One edit's FFmpeg objects. Members are destroyed in reverse order: the output
// (removed when it was opened and not finished), then the input.
struct EditJob {
  InputFormatPtr videoIn;  // the input; every packet is read from it
  OutputFile out;          // its file is opened by WriteHeader, after every check
  AVStream *audioOut = nullptr;
  AVStream *videoOut = nullptr;
  // Streams of videoIn whose packets are written; every other stream is dropped.
  int audioIndex = -1;
  int videoIndex = -1;
};

// The muxer FFmpeg associates with the input's file name: an edit writes the
// input's own container type. Null when the name suggests none.
const AVOutputFormat *EditOutputFormat(const char *inputPath) noexcept;

// Makes job.out for the muxer FFmpeg associates with the input's file name, named
// after outputPath; no file is touched. kNoMuxer when the name suggests none.
Status CreateEditOutput(EditJob &job, const char *inputPath, const char *outputPath) noexcept;

// Opens the input into job.videoIn, chooses its best audio stream and its first
// video stream that is not an attached picture (a cover is no video to edit), and
// gives job.out a stream-copy stream of each, from codec parameters alone: no
// encoder or decoder is needed, so codecs this build cannot encode (WMV3, VP6F)
// are copied too. fileOpened as for OpenInputFile. AudioStreamNotFound,
// VideoStreamNotFound, NoMemory, or FFmpeg's error of the open, the probe or the
// parameter copy.
Status OpenEditInputs(EditJob &job, const char *inputPath, bool *fileOpened = nullptr) noexcept;

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

// Copies every packet of job.videoIn's two chosen streams to job.out, whose header
// is written, and drops the packets of every other stream. The input's start is
// taken off every packet, so the output starts at 0 as the ffmpeg tool's copies do
// (a TS or DASH segment starts at 10 s, or near the 33-bit wrap) while audio and
// video keep their offset to each other; audio packets then get shiftMs more. Each
// packet is moved to its output stream's time base. Ok at the end of the input (as
// ReadPacket sees it) and after a stop; the read, write or stage error otherwise.
Status RemuxPackets(EditJob &job, int32_t shiftMs, VideoPacketStage &stage) noexcept;

}  // namespace mpg
