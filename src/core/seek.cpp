// SeekToSecond: a probing seek to any frame at the second, then a backward seek to
// the key frame before it; on failure the same one second earlier.
#include "core/seek.h"

#include "core/streams.h"
#include "core/timebase.h"

namespace mpg {

int64_t SecondToStreamTimestamp(const AVFormatContext *ctx, const AVStream *st, int64_t seconds) noexcept {
  return StreamStartTimestamp(ctx, st) + SecondsToTimestamp(seconds, st->time_base);
}

Status SeekToSecond(AVFormatContext *fmtCtx, AVCodecContext *decCtx, int streamIndex,
                    uint32_t seconds) noexcept {
  if (!fmtCtx || streamIndex < 0 || static_cast<unsigned>(streamIndex) >= fmtCtx->nb_streams) {
    return StatusFromAv(AVERROR(EINVAL));
  }
  const AVStream *st = fmtCtx->streams[streamIndex];
  int64_t second = seconds;
  Status last = Status::Unknown;
  for (int attempt = 0; attempt < kSeekAttempts; ++attempt) {
    const int64_t ts = SecondToStreamTimestamp(fmtCtx, st, second);
    // A seek to any frame fails when no frame lies at or after ts: the demuxer's index
    // says the second is past the end, so the key frame search below would land on
    // the last key frame of the file instead of near the second.
    int ret = av_seek_frame(fmtCtx, streamIndex, ts, AVSEEK_FLAG_ANY);
    // The decoder still holds pictures and references from before the jump.
    if (decCtx) avcodec_flush_buffers(decCtx);
    if (ret >= 0) {
      ret = av_seek_frame(fmtCtx, streamIndex, ts, AVSEEK_FLAG_BACKWARD);
      if (decCtx) avcodec_flush_buffers(decCtx);
      if (ret >= 0) return Status::Ok;
    }
    if (second == 0) return kSeekFailed;
    last = StatusFromAv(ret);
    --second;
  }
  return last;
}

}  // namespace mpg
