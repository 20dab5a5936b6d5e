#include "core/timebase.h"

namespace mpg {

namespace {
constexpr auto kTsRounding = static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX);
}

int64_t RescaleTs(int64_t ts, AVRational from, AVRational to) noexcept {
  if (ts == AV_NOPTS_VALUE) return ts;
  return av_rescale_q_rnd(ts, from, to, kTsRounding);
}

int64_t RescaleDuration(int64_t duration, AVRational from, AVRational to) noexcept {
  return av_rescale_q(duration, from, to);
}

void RescalePacketTimes(AVPacket *pkt, AVRational from, AVRational to) noexcept {
  pkt->pts = RescaleTs(pkt->pts, from, to);
  pkt->dts = RescaleTs(pkt->dts, from, to);
  pkt->duration = RescaleDuration(pkt->duration, from, to);
  pkt->pos = -1;
}

int64_t InputStartOffset(const AVFormatContext *in, std::initializer_list<const AVStream *> taken,
                         AVRational tb) noexcept {
  if (!in || tb.num <= 0 || tb.den <= 0) return 0;
  int64_t start = in->start_time;  // AV_TIME_BASE units
  if (in->iformat && (in->iformat->flags & AVFMT_TS_DISCONT)) {
    int64_t takenStart = AV_NOPTS_VALUE;
    for (const AVStream *st : taken) {
      if (!st || st->start_time == AV_NOPTS_VALUE) continue;
      const int64_t stStart = RescaleTs(st->start_time, st->time_base, AV_TIME_BASE_Q);
      if (takenStart == AV_NOPTS_VALUE || stStart < takenStart) takenStart = stStart;
    }
    if (takenStart != AV_NOPTS_VALUE && (start == AV_NOPTS_VALUE || takenStart > start)) start = takenStart;
  }
  if (start == AV_NOPTS_VALUE) return 0;
  return RescaleTs(start, AV_TIME_BASE_Q, tb);
}

void ShiftPacketTimes(AVPacket *pkt, int64_t offset) noexcept {
  if (offset == 0) return;
  if (pkt->pts != AV_NOPTS_VALUE) pkt->pts -= offset;
  if (pkt->dts != AV_NOPTS_VALUE) pkt->dts -= offset;
}

void KeepDtsIncreasing(AVPacket *pkt, int64_t &lastDts) noexcept {
  if (pkt->dts == AV_NOPTS_VALUE) return;
  if (lastDts != AV_NOPTS_VALUE && pkt->dts <= lastDts) pkt->dts = lastDts + 1;
  if (pkt->pts != AV_NOPTS_VALUE && pkt->pts < pkt->dts) pkt->pts = pkt->dts;
  lastDts = pkt->dts;
}

int64_t TimestampToWholeSeconds(int64_t ts, AVRational tb) noexcept {
  if (tb.den == 0 || ts == AV_NOPTS_VALUE) return 0;
  if (tb.num < 0 || tb.den < 0) return 0;  // malformed; av_rescale_rnd refuses it
  // av_rescale_rnd keeps the product exact in 128 bits; AV_ROUND_ZERO truncates.
  return av_rescale_rnd(ts, tb.num, tb.den, AV_ROUND_ZERO);
}

int64_t TimestampSpan(int64_t start, int64_t end, int wrapBits) noexcept {
  if (start == AV_NOPTS_VALUE || end == AV_NOPTS_VALUE) return 0;
  // libavformat unwraps the timestamps it reads once it has seen the stream's first
  // ones; this catches a wrap it did not mend. An end only a little before the start
  // (a reordered frame, audio ahead of video) is early, not wrapped: a wrap puts it
  // more than half the counter's range back.
  if (wrapBits > 0 && wrapBits < 63 && end < start && start - end > (int64_t{1} << (wrapBits - 1)))
    end += int64_t{1} << wrapBits;
  int64_t span = 0;
  // A damaged file's timestamps may sit at the ends of the range.
  if (__builtin_sub_overflow(end, start, &span)) return 0;
  return span > 0 ? span : 0;
}

double TimestampToSeconds(int64_t ts, AVRational tb) noexcept {
  if (tb.den == 0 || ts == AV_NOPTS_VALUE) return 0.0;
  return static_cast<double>(ts) * tb.num / tb.den;
}

int64_t SecondsToTimestamp(int64_t seconds, AVRational tb) noexcept {
  if (tb.num <= 0 || tb.den <= 0) return 0;
  return av_rescale_q_rnd(seconds, AVRational{1, 1}, tb, kTsRounding);
}

int64_t ContainerDurationToSeconds(int64_t duration) noexcept {
  if (duration == AV_NOPTS_VALUE) return 0;
  return duration / AV_TIME_BASE;
}

std::optional<int64_t> ProgressValue(int64_t position, int64_t total, int32_t scale) noexcept {
  if (total <= 0 || scale < 0) return std::nullopt;
  return av_rescale_rnd(position, scale, total, AV_ROUND_ZERO);
}

}  // namespace mpg
