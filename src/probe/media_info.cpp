// The video, audio and subtitle probes behind MPG_GetMediaInfo and
// MPG_GetAudioDuration. Each opens the file read-only, reads the packets after the
// last key frame to measure a length, and closes it; nothing is written.
#include "probe/media_info.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/av_ptr.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "probe/subtitle_end_time.h"

namespace mpg {

namespace {

// Opens path and reads the container's header only, so that what the header states
// (its duration, its bit rate) can be told from what stream probing estimates.
InputFormatPtr OpenHeader(const char *path) noexcept {
  AVFormatContext *raw = nullptr;
  // avformat_open_input frees the context itself when it fails.
  if (avformat_open_input(&raw, path, nullptr, nullptr) < 0) return nullptr;
  return InputFormatPtr(raw);
}

bool FindStreamInfo(AVFormatContext *ctx) noexcept { return avformat_find_stream_info(ctx, nullptr) >= 0; }

int32_t CountStreamsOfType(const AVFormatContext *ctx, AVMediaType type) noexcept {
  int32_t count = 0;
  for (unsigned i = 0; i < ctx->nb_streams; ++i) {
    const AVStream *st = ctx->streams[i];
    if (st && st->codecpar && st->codecpar->codec_type == type) ++count;
  }
  return count;
}

// Frames per second; 0 when the stream states no rate (a zero denominator).
double FrameRate(AVRational rate) noexcept { return rate.den == 0 ? 0.0 : av_q2d(rate); }

// The first sample format the decoder of id produces. Video decoders list none, so
// for them the field stays empty, as it does when no decoder is built in.
void CopyDecoderSampleFormat(char (&field)[64], AVCodecID id) noexcept {
  const AVCodec *decoder = avcodec_find_decoder(id);
  if (!decoder || !decoder->sample_fmts) return;
  // The list ends with AV_SAMPLE_FMT_NONE, whose name is null.
  CopyUpperName(field, av_get_sample_fmt_name(decoder->sample_fmts[0]));
}

}  // namespace

void CopyUpperName(char (&field)[64], const char *name) noexcept {
  if (!name) return;
  size_t n = 0;
  for (; n + 1 < sizeof field && name[n] != '\0'; ++n) {
    const char c = name[n];
    field[n] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  field[n] = '\0';
}

bool ProbeVideo(const char *path, MpgMediaInfo &info) {
  InputFormatPtr ctx = OpenHeader(path);
  if (!ctx || !FindStreamInfo(ctx.get())) return false;
  info.containerBitRate = ctx->bit_rate;
  info.videoStreamCount = CountStreamsOfType(ctx.get(), AVMEDIA_TYPE_VIDEO);
  if (info.videoStreamCount == 0) return false;

  AVStream *st = ctx->streams[FindFirstStreamOfType(ctx.get(), AVMEDIA_TYPE_VIDEO)];
  const AVCodecParameters *par = st->codecpar;
  // A cover picture is one still packet with no timeline: the length is the moving
  // video's, or the audio's when the file has none.
  const int moving = FindMovingVideoStream(ctx.get());
  info.duration = moving < 0 ? 0 : MeasureDurationBySeek(ctx.get(), ctx->streams[moving]);
  info.width = par->width;
  info.height = par->height;
  info.videoBitRate = par->bit_rate;
  info.frameRate = FrameRate(st->r_frame_rate);
  if (st->duration != AV_NOPTS_VALUE) info.videoStreamDuration = st->duration;
  CopyUpperName(info.videoCodec, avcodec_get_name(par->codec_id));
  CopyDecoderSampleFormat(info.videoSampleFormat, par->codec_id);
  return true;
}

bool ProbeAudio(const char *path, MpgMediaInfo &info) {
  InputFormatPtr ctx = OpenHeader(path);
  if (!ctx) return false;
  // The header's bit rate stands if probing fails; probing replaces it with the
  // estimate the video probe also reads, so a file with both kinds of stream does
  // not lose the rate to a header that states none (MP4, WebM, MP3 state none).
  info.containerBitRate = ctx->bit_rate;
  if (!FindStreamInfo(ctx.get())) return false;
  info.containerBitRate = ctx->bit_rate;
  info.audioStreamCount = CountStreamsOfType(ctx.get(), AVMEDIA_TYPE_AUDIO);
  if (info.audioStreamCount == 0) return false;
  const int index = FindUsableAudioStream(ctx.get());
  if (index < 0) return false;

  AVStream *st = ctx->streams[index];
  const AVCodecParameters *par = st->codecpar;
  // A file lasts as long as its longest stream: audio that stops before the video
  // does not shorten it.
  info.duration = std::max(info.duration, MeasureDurationBySeek(ctx.get(), st));
  info.channels = par->ch_layout.nb_channels;
  info.sampleRate = par->sample_rate;
  info.audioBitRate = par->bit_rate;
  if (st->duration != AV_NOPTS_VALUE) info.audioStreamDuration = st->duration;
  CopyDecoderSampleFormat(info.audioSampleFormat, par->codec_id);
  CopyUpperName(info.audioCodec, avcodec_get_name(par->codec_id));
  return true;
}

bool ProbeSubtitles(const char *path, MpgMediaInfo &info) {
  InputFormatPtr ctx = OpenHeader(path);
  if (!ctx) return false;
  // The length the header states stands in only when no stream measured one (a
  // file of subtitles alone): a header can count an edit list's lead-in or a cut-off
  // download's missing part. Probing would add an estimate, so it is read first.
  if (info.duration == 0 && ctx->duration != AV_NOPTS_VALUE)
    info.duration = ContainerDurationToSeconds(ctx->duration);
  if (!FindStreamInfo(ctx.get())) return false;
  info.subtitleStreamCount = CountStreamsOfType(ctx.get(), AVMEDIA_TYPE_SUBTITLE);
  if (info.subtitleStreamCount == 0) return false;

  info.subtitleDuration = ReadSubtitleEndTime(path);
  // A file whose text gives no end time (subtitles inside a Matroska file, say)
  // keeps the duration measured so far rather than losing it to 0.
  if (info.subtitleDuration != 0) info.duration = info.subtitleDuration;
  const AVStream *st = ctx->streams[FindFirstStreamOfType(ctx.get(), AVMEDIA_TYPE_SUBTITLE)];
  CopyUpperName(info.subtitleCodec, avcodec_get_name(st->codecpar->codec_id));
  return true;
}

bool ReadMediaInfo(const char *path, MpgMediaInfo &info) {
  std::memset(&info, 0, sizeof info);
  const bool video = ProbeVideo(path, info);
  const bool audio = ProbeAudio(path, info);
  const bool subtitles = ProbeSubtitles(path, info);
  return video || audio || subtitles;
}

uint32_t ReadAudioDuration(const char *path) {
  MpgMediaInfo info;
  std::memset(&info, 0, sizeof info);
  ProbeAudio(path, info);
  // Ticks of the stream's own time base when it states a length that fits the
  // export's 32 bits (an MP3's 1/14112000 overflows them after about five minutes),
  // else the measured whole seconds.
  const bool ticksFit = info.audioStreamDuration > 0 && info.audioStreamDuration <= int64_t{UINT32_MAX};
  const int64_t value = ticksFit ? info.audioStreamDuration : info.duration;
  return static_cast<uint32_t>(std::clamp<int64_t>(value, 0, UINT32_MAX));
}

}  // namespace mpg
