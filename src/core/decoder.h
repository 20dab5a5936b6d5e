// Opening a stream's decoder, and the rule for packets a decoder rejects.
#pragma once

#include "core/av_ptr.h"
#include "core/status.h"

namespace mpg {

// Opens a decoder for st: FFmpeg's decoder for its codec, its codec parameters,
// packet timestamps in st's time base (so frames carry them too) and as many
// threads as FFmpeg finds useful, as the ffmpeg tool does. kNoCodec when
// this build has none for the codec; NoMemory; the FFmpeg error of the open.
Status OpenDecoder(const AVStream *st, CodecContextPtr &decCtx) noexcept;

// A download may hold damaged packets (a lost TS packet, a bad frame in a cut).
// A packet the decoder rejects is skipped; only this many rejected in a row mean
// the stream cannot be decoded at all.
inline constexpr int kMaxDecodeErrorsInARow = 50;

// Counts a decoder's rejections in a row.
class DecodeErrorRun {
 public:
  // The result of handing one packet to the decoder, or of taking a frame from it:
  // Ok for success (the run starts again) and for a rejection while the run is
  // shorter than kMaxDecodeErrorsInARow; the decoder's error at the last of such a
  // run, and always for out of memory.
  Status Judge(int averr) noexcept;

 private:
  int run_ = 0;
};

}  // namespace mpg
