// Status: the internal form of the codes the exports return. Values are the public
// codes of mpg.h or negative FFmpeg AVERROR codes, so a Status converts to the
// export's result without a table.
#pragma once

#include <cstdint>
#include <string>

#include "core/av_ptr.h"
#include "mpg.h"

namespace mpg {

enum class Status : int32_t {
  Ok = MPG_OK,
  AudioCodecNotFound = MPG_AUDIO_CODEC_NOT_FOUND,
  VideoCodecNotFound = MPG_VIDEO_CODEC_NOT_FOUND,
  AudioStreamNotFound = MPG_AUDIO_STREAM_NOT_FOUND,
  VideoStreamNotFound = MPG_VIDEO_STREAM_NOT_FOUND,
  SameFile = MPG_SAME_FILE,
  BadParameter = MPG_BAD_PARAMETER,
  // FFmpeg codes the library chooses itself at some failures.
  MuxerNotFound = AVERROR_MUXER_NOT_FOUND,
  DecoderNotFound = AVERROR_DECODER_NOT_FOUND,
  EncoderNotFound = AVERROR_ENCODER_NOT_FOUND,
  StreamNotFound = AVERROR_STREAM_NOT_FOUND,
  Unknown = AVERROR_UNKNOWN,
  Eof = AVERROR_EOF,
  InvalidData = AVERROR_INVALIDDATA,
  NoMemory = AVERROR(ENOMEM),
};

inline constexpr int32_t Code(Status st) noexcept { return static_cast<int32_t>(st); }
inline constexpr bool IsOk(Status st) noexcept { return st == Status::Ok; }

// The one mapping from an FFmpeg result to a Status: a negative code is kept as it
// is; a non-negative one at a failure site (a null result, say) becomes fallback.
inline constexpr Status StatusFromAv(int averr, Status fallback = Status::Unknown) noexcept {
  return averr < 0 ? static_cast<Status>(averr) : fallback;
}

// The text of one of the library's own codes (MPG_OK included), or nullptr for any
// other code: FFmpeg's codes get FFmpeg's text from AvErrorText.
const char *StatusText(int32_t code) noexcept;

// FFmpeg's text for an error code (av_err2str does not compile as C++).
std::string AvErrorText(int averr);

}  // namespace mpg
