#include "core/streams.h"

#include "core/timebase.h"

namespace mpg {

namespace {
// Far beyond the end of ordinary files in any common time base, so a backward
// seek lands on the last key frame.
constexpr int64_t kSeekToEndTs = 0x20000000;
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
  if (!st) return Status::NoMemory;
  const int ret = avcodec_parameters_copy(st->codecpar, inStream->codecpar);
  if (ret < 0) return StatusFromAv(ret);
  st->codecpar->codec_tag = 0;
  outStream = st;
  return Status::Ok;
}

Status OpenInputFile(const char *path, InputFormatPtr &ctx) noexcept {
  ctx.reset();
  if (!path || !*path) return StatusFromAv(AVERROR(EINVAL));
  AVFormatContext *raw = nullptr;
  // avformat_open_input frees the context itself when it fails.
  int ret = avformat_open_input(&raw, path, nullptr, nullptr);
  if (ret < 0) return StatusFromAv(ret);
  if (!raw) return Status::Unknown;
  InputFormatPtr owned(raw);
  ret = avformat_find_stream_info(owned.get(), nullptr);
  if (ret < 0) return StatusFromAv(ret);
  ctx = std::move(owned);
  return Status::Ok;
}

AVCodecID ProbeStreamCodec(const char *path, AVMediaType type) noexcept {
  InputFormatPtr ctx;
  if (!IsOk(OpenInputFile(path, ctx))) return AV_CODEC_ID_NONE;
  int index = FindFirstStreamOfType(ctx.get(), type);
  return index < 0 ? AV_CODEC_ID_NONE : ctx->streams[index]->codecpar->codec_id;
}

int64_t MeasureDurationBySeek(AVFormatContext *ctx, AVStream *st) noexcept {
  // Without a time base no timestamp means anything, and seeking by one would divide by zero.
  if (!ctx || !st || st->time_base.den == 0) return 0;
  int64_t seconds = 0;
  if (av_seek_frame(ctx, st->index, kSeekToEndTs, AVSEEK_FLAG_BACKWARD) >= 0) {
    PacketPtr pkt = MakePacket();
    int64_t maxPts = 0;
    while (pkt && av_read_frame(ctx, pkt.get()) >= 0) {
      if (pkt->stream_index == st->index && pkt->pts != AV_NOPTS_VALUE && pkt->pts > maxPts) {
        maxPts = pkt->pts;
      }
      av_packet_unref(pkt.get());
    }
    seconds = TimestampToWholeSeconds(maxPts, st->time_base);
  }
  // Back to the start whatever happened, for callers that go on reading.
  av_seek_frame(ctx, st->index, 0, AVSEEK_FLAG_BACKWARD);
  return seconds;
}

int64_t MeasureMergeDuration(AVFormatContext *ctx1, AVStream *st1, AVFormatContext *ctx2,
                             AVStream *st2) noexcept {
  if (ctx1 && st1) {
    int64_t d = MeasureDurationBySeek(ctx1, st1);
    if (d != 0) return d;
  }
  if (ctx2 && st2) return MeasureDurationBySeek(ctx2, st2);
  return 0;
}

}  // namespace mpg
