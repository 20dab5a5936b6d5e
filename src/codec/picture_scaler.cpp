#include "codec/picture_scaler.h"

namespace mpg {

Status PictureScaler::Prepare(const AVFrame *src, int width, int height, int format) noexcept {
  if (sws_ && srcWidth_ == src->width && srcHeight_ == src->height && srcFormat_ == src->format &&
      dstWidth_ == width && dstHeight_ == height && dstFormat_ == format) {
    return Status::Ok;
  }
  sws_.reset(sws_alloc_context());
  SwsContext *sws = sws_.get();
  if (!sws) return Status::NoMemory;
  const bool set = av_opt_set_int(sws, "srcw", src->width, 0) >= 0 && av_opt_set_int(sws, "srch", src->height, 0) >= 0 &&
                   av_opt_set_int(sws, "src_format", src->format, 0) >= 0 && av_opt_set_int(sws, "dstw", width, 0) >= 0 &&
                   av_opt_set_int(sws, "dsth", height, 0) >= 0 && av_opt_set_int(sws, "dst_format", format, 0) >= 0 &&
                   av_opt_set_int(sws, "sws_flags", flags_, 0) >= 0 && av_opt_set_int(sws, "threads", threads_, 0) >= 0;
  const int ret = set ? sws_init_context(sws, nullptr, nullptr) : AVERROR(EINVAL);
  if (ret < 0) {
    sws_.reset();
    // No conversion between these formats or sizes.
    return StatusFromAv(ret);
  }
  srcWidth_ = src->width;
  srcHeight_ = src->height;
  srcFormat_ = src->format;
  dstWidth_ = width;
  dstHeight_ = height;
  dstFormat_ = format;
  return Status::Ok;
}

Status PictureScaler::Scale(const AVFrame *src, AVFrame *dst) noexcept {
  const Status st = Prepare(src, dst->width, dst->height, dst->format);
  if (!IsOk(st)) return st;
  // Slices go to the scaler's threads only through the frame interface.
  const int ret = sws_scale_frame(sws_.get(), dst, src);
  return ret < 0 ? StatusFromAv(ret) : Status::Ok;
}

Status PictureScaler::ScaleInto(const AVFrame *src, uint8_t *const planes[4], const int linesizes[4], int width,
                                int height, AVPixelFormat format) noexcept {
  const Status st = Prepare(src, width, height, format);
  if (!IsOk(st)) return st;
  const int ret = sws_scale(sws_.get(), src->data, src->linesize, 0, src->height, planes, linesizes);
  return ret < 0 ? StatusFromAv(ret) : Status::Ok;
}

}  // namespace mpg
