// A cover picture read from a file of its own (a video site's thumbnail), checked
// by decoding it and made into a form players show: JPEG and PNG as they are, WebP
// converted to a baseline JPEG.
#pragma once

#include <cstdint>
#include <string>

#include "core/av_ptr.h"
#include "core/status.h"

namespace mpg {

struct CoverPicture {
  std::string bytes;                   // the picture file's bytes, as they go into the output
  AVCodecID codec = AV_CODEC_ID_NONE;  // AV_CODEC_ID_MJPEG or AV_CODEC_ID_PNG
  int width = 0;
  int height = 0;
};

// Covers above this size are refused: a thumbnail is far smaller.
inline constexpr uint64_t kMaxCoverBytes = 32u << 20;

// Reads the picture at path; the decoder is chosen by the file's first bytes, not
// its name (the Windows build has no image demuxers). InvalidData for a file that
// is no JPEG, PNG or WebP picture, is too large or does not decode; the read's
// error (ENOENT) for a file that cannot be read.
Status LoadCoverPicture(const char *path, CoverPicture &cover);

}  // namespace mpg
