#include "core/streams.h"

#include <memory>
#include <new>
#include <optional>

#include "core/input.h"
#include "core/timebase.h"

namespace mpg {

namespace {

// Where to look for the end of a stream whose file states no length: a day is
// beyond any download, yet small enough that demuxers which turn a time into a
// byte position (PCM in WAV) do not overflow.
constexpr int64_t kFarEndSeconds = 86400;
// The first step back from the end when a read from there finds nothing; it
// doubles until it reaches the start.
constexpr int64_t kFirstStepBackSeconds = 1;

// A 32-bit length field of all ones: the MP4 headers (mvhd, tkhd, mdhd) write it
// for a length not known when the header was written, as in a fragmented MP4 made
// while recording (ISO/IEC 14496-12); FFmpeg 5.1 reads it as 2^32 - 1 ticks.
constexpr int64_t kUnknownLengthField = 0xFFFFFFFF;


bool StatesUnknownLength(const AVStream *st) noexcept { return st->duration == kUnknownLengthField; }

// Reads from where the input stands to the end of the file (or the first read
// error): the latest end (pts + duration) of a packet of st that is shown, or
// nothing when no such packet comes.
std::optional<int64_t> ReadToEnd(AVFormatContext *ctx, const AVStream *st) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return std::nullopt;
  std::optional<int64_t> end;
  while (IsOk(ReadPacket(ctx, pkt.get()))) {
    // The mov demuxer hands out the packets an edit list cuts, flagged as discarded.
    if (pkt->stream_index == st->index && !(pkt->flags & AV_PKT_FLAG_DISCARD)) {
      const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
      int64_t packetEnd = 0;
      // A damaged file's timestamps may sit at the ends of the range.
      if (ts != AV_NOPTS_VALUE && !__builtin_add_overflow(ts, pkt->duration > 0 ? pkt->duration : 0, &packetEnd)) {
        if (!end || packetEnd > *end) end = packetEnd;
      }
    }
    av_packet_unref(pkt.get());
  }
  return end;
}

// ReadToEnd from the last key frame of st at or before target; nothing when the
// demuxer cannot seek there.
std::optional<int64_t> ReadEndFrom(AVFormatContext *ctx, const AVStream *st, int64_t target) noexcept {
  if (av_seek_frame(ctx, st->index, target, AVSEEK_FLAG_BACKWARD) < 0) return std::nullopt;
  return ReadToEnd(ctx, st);
}

// Lets the demuxer skip every stream but one while the length is read, and puts
// the caller's choices back afterwards. Besides saving work, a cut-off file then
// yields the measured stream's packets up to where its own data ends, not up to the
// first missing packet of another stream.
class ReadOnlyStream {
 public:
  ReadOnlyStream(AVFormatContext *ctx, const AVStream *st) noexcept
      : ctx_(ctx), count_(ctx->nb_streams), saved_(new (std::nothrow) AVDiscard[count_]) {
    // Without memory to remember the choices, every stream is simply read.
    if (!saved_) return;
    for (unsigned i = 0; i < count_; ++i) {
      saved_[i] = ctx->streams[i]->discard;
      if (ctx->streams[i] != st) ctx->streams[i]->discard = AVDISCARD_ALL;
    }
  }
  // A demuxer may add streams while reading (a TS program met late): only those
  // that were there before have a choice to put back.
  ~ReadOnlyStream() {
    if (!saved_) return;
    for (unsigned i = 0; i < count_ && i < ctx_->nb_streams; ++i) ctx_->streams[i]->discard = saved_[i];
  }
  ReadOnlyStream(const ReadOnlyStream &) = delete;
  ReadOnlyStream &operator=(const ReadOnlyStream &) = delete;

 private:
  AVFormatContext *ctx_;
  unsigned count_;
  std::unique_ptr<AVDiscard[]> saved_;
};

// Where reading starts again for callers that go on: the key frame at or before
// the stream's start, else the first byte of the file.
void SeekBackToStart(AVFormatContext *ctx, const AVStream *st, int64_t startTs) noexcept {
  if (av_seek_frame(ctx, st->index, startTs, AVSEEK_FLAG_BACKWARD) >= 0) return;
  if (av_seek_frame(ctx, st->index, startTs, 0) >= 0) return;
  av_seek_frame(ctx, -1, 0, AVSEEK_FLAG_BYTE);
}

// The latest packet end of st, looked for from the last key frame before endTs.
// PCM in WAV, ASF, AVI and FLV seek by position or by an index and can land past
// every packet of the stream, and a cut-off file's index points past its last
// byte: then look again from earlier points, stepping back in widening strides,
// and at last from the start. Nothing when no packet of st can be read at all.
std::optional<int64_t> ReadLastEnd(AVFormatContext *ctx, const AVStream *st, int64_t startTs, int64_t endTs) noexcept {
  std::optional<int64_t> lastEnd = ReadEndFrom(ctx, st, endTs);
  int64_t range = 0;
  if (__builtin_sub_overflow(endTs, startTs, &range)) range = 0;
  for (int64_t back = SecondsToTimestamp(kFirstStepBackSeconds, st->time_base); !lastEnd && back > 0 && back < range;
       back = back > INT64_MAX / 2 ? INT64_MAX : back * 2) {
    lastEnd = ReadEndFrom(ctx, st, endTs - back);
  }
  if (!lastEnd) {
    SeekBackToStart(ctx, st, startTs);
    lastEnd = ReadToEnd(ctx, st);
  }
  return lastEnd;
}

}  // namespace

bool IsUsableAudioStream(const AVStream *st) noexcept {
  return st && st->codecpar && st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO &&
         st->codecpar->ch_layout.nb_channels != 0 && st->codecpar->sample_rate != 0;
}

int FindNextUsableAudioStream(const AVFormatContext *ctx, int after) noexcept {
  if (!ctx) return -1;
  for (unsigned i = after < 0 ? 0 : static_cast<unsigned>(after) + 1; i < ctx->nb_streams; ++i) {
    if (IsUsableAudioStream(ctx->streams[i])) return static_cast<int>(i);
  }
  return -1;
}

int FindUsableAudioStream(const AVFormatContext *ctx) noexcept {
  return FindNextUsableAudioStream(ctx, -1);
}

int FindBestAudioStream(const AVFormatContext *ctx) noexcept {
  if (!ctx) return -1;
  int bestIndex = -1;
  int64_t bestBitRate = 0;
  for (unsigned i = 0; i < ctx->nb_streams; ++i) {
    const AVStream *st = ctx->streams[i];
    if (!st || !st->codecpar) continue;
    if (bestBitRate != 0 && bestBitRate >= st->codecpar->bit_rate) continue;
    if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      bestIndex = static_cast<int>(i);
      bestBitRate = st->codecpar->bit_rate;
    }
  }
  return bestIndex;
}

int FindFirstStreamOfType(const AVFormatContext *ctx, AVMediaType type) noexcept {
  if (!ctx) return -1;
  for (unsigned i = 0; i < ctx->nb_streams; ++i) {
    const AVStream *st = ctx->streams[i];
    if (st && st->codecpar && st->codecpar->codec_type == type) return static_cast<int>(i);
  }
  return -1;
}

bool IsAttachedPicture(const AVStream *st) noexcept {
  return st && (st->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
}

int FindMovingVideoStream(const AVFormatContext *ctx) noexcept {
  if (!ctx) return -1;
  for (unsigned i = 0; i < ctx->nb_streams; ++i) {
    const AVStream *st = ctx->streams[i];
    if (st && st->codecpar && st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !IsAttachedPicture(st))
      return static_cast<int>(i);
  }
  return -1;
}

Status AddCopyStream(AVFormatContext *out, const AVStream *inStream, AVStream *&outStream) noexcept {
  outStream = nullptr;
  AVStream *st = avformat_new_stream(out, nullptr);
  if (!st) return Status::Unknown;
  const int ret = avcodec_parameters_copy(st->codecpar, inStream->codecpar);
  if (ret < 0) return StatusFromAv(ret);
  st->codecpar->codec_tag = 0;
  // Timed as the ffmpeg tool times its stream copies: the muxer's own rule derives
  // the time base from the input's, and the rates, aspect ratio, disposition and
  // length carry over as hints the muxers write into their headers.
  if (!TakeCopyTiming(out, st, inStream)) st->time_base = inStream->time_base;
  st->avg_frame_rate = inStream->avg_frame_rate;
  st->r_frame_rate = inStream->r_frame_rate;
  st->sample_aspect_ratio = inStream->sample_aspect_ratio;
  // The muxers refuse a stream whose container and codec aspect ratios differ (a
  // 3GP's 1:1 beside H.263's 12:11): a video copy takes the container's, else the
  // codec's, for both, as the ffmpeg tool's copy does.
  if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
    if (st->sample_aspect_ratio.num == 0) st->sample_aspect_ratio = inStream->codecpar->sample_aspect_ratio;
    st->codecpar->sample_aspect_ratio = st->sample_aspect_ratio;
  }
  st->disposition = inStream->disposition;
  if (inStream->duration > 0) st->duration = RescaleDuration(inStream->duration, inStream->time_base, st->time_base);
  outStream = st;
  return Status::Ok;
}

bool TakeCopyTiming(const AVFormatContext *out, AVStream *outStream, const AVStream *inStream) noexcept {
  if (avformat_transfer_internal_stream_timing_info(out->oformat, outStream, inStream, AVFMT_TBCF_AUTO) < 0)
    return false;
  const AVRational tb = av_stream_get_codec_timebase(outStream);
  if (tb.num <= 0 || tb.den <= 0) return false;
  // The sum with 0/1 reduces the fraction, as the muxers expect of a time base.
  outStream->time_base = av_add_q(tb, AVRational{0, 1});
  return true;
}

int64_t MeasureStreamSpan(AVFormatContext *ctx, AVStream *st) noexcept {
  // Without a time base no timestamp means anything, and seeking by one would divide by zero.
  if (!ctx || !st || st->time_base.num <= 0 || st->time_base.den <= 0) return 0;
  const AVRational tb = st->time_base;
  const int64_t startTs = StreamStartTimestamp(ctx, st);
  const std::optional<int64_t> stated = StatedDuration(ctx, st);
  int64_t endTs = 0;
  if (__builtin_add_overflow(startTs, stated ? *stated : SecondsToTimestamp(kFarEndSeconds, tb), &endTs))
    endTs = SecondsToTimestamp(kFarEndSeconds, tb);  // a damaged header

  std::optional<int64_t> lastEnd;
  {
    const ReadOnlyStream only(ctx, st);
    lastEnd = ReadLastEnd(ctx, st, startTs, endTs);
  }
  SeekBackToStart(ctx, st, startTs);

  if (lastEnd) return TimestampSpan(startTs, *lastEnd, st->pts_wrap_bits);
  return stated.value_or(0);
}

std::optional<int64_t> StatedDuration(const AVFormatContext *ctx, const AVStream *st) noexcept {
  if (!ctx || !st || StatesUnknownLength(st)) return std::nullopt;
  if (st->duration != AV_NOPTS_VALUE && st->duration > 0) return st->duration;
  // The container's length is the longest of its streams' unless its header said
  // otherwise: one stream's "unknown" makes it unknown too.
  for (unsigned i = 0; i < ctx->nb_streams; ++i) {
    if (StatesUnknownLength(ctx->streams[i])) return std::nullopt;
  }
  if (ctx->duration != AV_NOPTS_VALUE && ctx->duration > 0 && st->time_base.num > 0 && st->time_base.den > 0) {
    const int64_t duration = RescaleDuration(ctx->duration, AV_TIME_BASE_Q, st->time_base);
    if (duration > 0) return duration;
  }
  return std::nullopt;
}

int64_t StatedBitRate(const AVStream *st) noexcept {
  if (!st || !st->codecpar || StatesUnknownLength(st)) return 0;
  return st->codecpar->bit_rate > 0 ? st->codecpar->bit_rate : 0;
}

int64_t StreamStartTimestamp(const AVFormatContext *ctx, const AVStream *st) noexcept {
  if (st->start_time != AV_NOPTS_VALUE) return st->start_time;
  return InputStartOffset(ctx, {st}, st->time_base);
}

int64_t MeasureDurationBySeek(AVFormatContext *ctx, AVStream *st) noexcept {
  if (!ctx || !st) return 0;
  return TimestampToWholeSeconds(MeasureStreamSpan(ctx, st), st->time_base);
}

int64_t SecondsIntoStream(const AVFormatContext *ctx, const AVStream *st, int64_t ts) noexcept {
  if (!ctx || !st || ts == AV_NOPTS_VALUE) return 0;
  return TimestampToWholeSeconds(TimestampSpan(StreamStartTimestamp(ctx, st), ts, st->pts_wrap_bits), st->time_base);
}

bool IsPlausibleFrameRate(AVRational r) noexcept {
  return r.num != 0 && r.den != 0 && static_cast<double>(r.num) / r.den < kMaxPlausibleFrameRate;
}

AVRational PlausibleFrameRate(AVRational r, AVRational fallback) noexcept {
  return IsPlausibleFrameRate(r) ? r : fallback;
}

}  // namespace mpg
