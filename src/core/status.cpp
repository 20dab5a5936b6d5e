#include "core/status.h"

namespace mpg {

const char *StatusText(int32_t code) noexcept {
  // No default: a Status added without a text here draws a -Wswitch warning.
  switch (static_cast<Status>(code)) {
    case Status::AudioCodecNotFound: return "Audio codec not found";
    case Status::VideoCodecNotFound: return "Video codec not found";
    case Status::AudioStreamNotFound: return "Audio stream not found";
    case Status::VideoStreamNotFound: return "Video stream not found";
    case Status::SameFile: return "Output file is the same as an input file";
    // No fixed text: the host has always shown FFmpeg's text for these.
    case Status::Ok:
    case Status::BadParameter:
    case Status::Exit:
    case Status::Unknown:
    case Status::Eof:
    case Status::InvalidData:
    case Status::NoMemory:
      break;
  }
  return nullptr;
}

std::string AvErrorText(int averr) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(averr, buf, sizeof buf);
  return buf;
}

}  // namespace mpg
