// Status: the internal form of the codes the exports return. Values are the codes
// the host knows (mpg.h repeats the library's own, and api checks that the two agree)
// or negative FFmpeg AVERROR codes, so a Status converts to the export's result
// without a table.
#pragma once

#include <cstdint>
#include <string>

#include "core/av_ptr.h"

namespace mpg {

enum class Status : int32_t {
  Ok = 0,
  AudioCodecNotFound = static_cast<int32_t>(0xC0000001),
  VideoCodecNotFound = static_cast<int32_t>(0xC0000002),
  AudioStreamNotFound = static_cast<int32_t>(0xC0000003),
  VideoStreamNotFound = static_cast<int32_t>(0xC0000004),
  SameFile = static_cast<int32_t>(0xC0000005),
  BadParameter = static_cast<int32_t>(0xC0000006),
  // FFmpeg codes the library chooses itself, as hosts have always been told them:
  // AVERROR_EXIT for no muxer of the asked name and for a FIFO that takes or gives
  // fewer samples than asked; AVERROR_UNKNOWN for a codec FFmpeg has no decoder or
  // encoder for, and for a codec context or stream it could not allocate.
  Exit = AVERROR_EXIT,
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

// The names of the chosen codes at their failure sites.
inline constexpr Status kNoMuxer = Status::Exit;
inline constexpr Status kNoCodec = Status::Unknown;
inline constexpr Status kShortFifo = Status::Exit;

// The fixed text of one of the library's own codes, or nullptr for a code that has
// none (Ok, BadParameter and every FFmpeg code): MPG_GetErrorText gives FFmpeg's
// text for those.
const char *StatusText(int32_t code) noexcept;

// FFmpeg's text for a code, as av_strerror writes it (av_err2str does not compile
// as C++); for a code FFmpeg does not know, its fallback text with the number.
std::string AvErrorText(int averr);

}  // namespace mpg
