#include "core/decoder.h"

namespace mpg {

Status OpenDecoder(const AVStream *st, CodecContextPtr &decCtx) noexcept {
  decCtx.reset();
  const AVCodec *decoder = avcodec_find_decoder(st->codecpar->codec_id);
  if (!decoder) return kNoCodec;
  CodecContextPtr ctx(avcodec_alloc_context3(decoder));
  if (!ctx) return Status::Unknown;
  int ret = avcodec_parameters_to_context(ctx.get(), st->codecpar);
  if (ret < 0) return StatusFromAv(ret);
  ctx->pkt_timebase = st->time_base;
  ctx->thread_count = 0;  // automatic
  ret = avcodec_open2(ctx.get(), decoder, nullptr);
  if (ret < 0) return StatusFromAv(ret);
  decCtx = std::move(ctx);
  return Status::Ok;
}

Status DecodeErrorRun::Judge(int averr) noexcept {
  if (averr >= 0) {
    run_ = 0;
    return Status::Ok;
  }
  if (averr == AVERROR(ENOMEM) || ++run_ >= kMaxDecodeErrorsInARow) return StatusFromAv(averr);
  return Status::Ok;
}

}  // namespace mpg
