// PictureScaler: the size and pixel-format conversion of a stream's decoded
// pictures, for the re-encoders and the frame grab.
#ifndef MPG_CODEC_PICTURE_SCALER_H
#define MPG_CODEC_PICTURE_SCALER_H

#include <cstdint>

#include "core/av_ptr.h"
#include "core/status.h"

namespace mpg {

// Made on the first picture and made again only when the pictures' size or format
// changes in the middle of a stream (or the target's does), so every picture is
// read with its own geometry and a stream's pictures share one converter.
class PictureScaler {
 public:
  // flags: the swscale algorithm and rounding; threads: 0 for FFmpeg's automatic
  // count, which only Scale (the frame interface) uses.
  PictureScaler(int flags, int threads) noexcept : flags_(flags), threads_(threads) {}

  // Converts src into dst, whose width, height and format are set and whose
  // buffers are writable.
  Status Scale(const AVFrame *src, AVFrame *dst) noexcept;
  // Converts src into the planes of a width x height picture in format.
  Status ScaleInto(const AVFrame *src, uint8_t *const planes[4], const int linesizes[4], int width, int height,
                   AVPixelFormat format) noexcept;

 private:
  Status Prepare(const AVFrame *src, int width, int height, int format) noexcept;

  int flags_;
  int threads_;
  SwsPtr sws_;
  // The geometry sws_ was made for.
  int srcWidth_ = 0;
  int srcHeight_ = 0;
  int srcFormat_ = -1;
  int dstWidth_ = 0;
  int dstHeight_ = 0;
  int dstFormat_ = -1;
};

}  // namespace mpg

#endif  // MPG_CODEC_PICTURE_SCALER_H
