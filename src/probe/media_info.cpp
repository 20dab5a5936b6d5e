// The media information record and the audio duration, each from one open of the
// file: the stream counts and the fields the streams state, and lengths measured by
// reading the packets after the last key frame. Nothing is written. A file that
// cannot be opened or probed gives false (or 0) and a zeroed record.
#include "probe/media_info.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/input.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "probe/subtitle_end_time.h"

namespace mpg {

namespace {

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

// The stream the video fields describe: the moving video, else the first video
// stream, which is then a cover picture (the art of a song).
int ChooseVideoStream(const AVFormatContext *ctx) noexcept {
  const int moving = FindMovingVideoStream(ctx);
  return moving >= 0 ? moving : FindFirstStreamOfType(ctx, AVMEDIA_TYPE_VIDEO);
}

void FillVideoFields(const AVStream *st, MpgMediaInfo &info) noexcept {
  const AVCodecParameters *par = st->codecpar;
  info.width = par->width;
  info.height = par->height;
  info.videoBitRate = par->bit_rate;
  info.frameRate = FrameRate(st->r_frame_rate);
  if (st->duration != AV_NOPTS_VALUE) info.videoStreamDuration = st->duration;
  CopyUpperName(info.videoCodec, avcodec_get_name(par->codec_id));
  CopyDecoderSampleFormat(info.videoSampleFormat, par->codec_id);
}

void FillAudioFields(const AVStream *st, MpgMediaInfo &info) noexcept {
  const AVCodecParameters *par = st->codecpar;
  info.channels = par->ch_layout.nb_channels;
  info.sampleRate = par->sample_rate;
  info.audioBitRate = par->bit_rate;
  if (st->duration != AV_NOPTS_VALUE) info.audioStreamDuration = st->duration;
  CopyDecoderSampleFormat(info.audioSampleFormat, par->codec_id);
  CopyUpperName(info.audioCodec, avcodec_get_name(par->codec_id));
}

// The record's duration. A file lasts as long as its longest stream: audio that
// stops before the video does not shorten it, and a cover picture has no timeline.
// The container's stated length stands in only when no stream measured one (a file
// of subtitles alone): it can count an edit list's lead-in or a cut-off download's
// missing part. A subtitle file's last cue has the last word.
int64_t FileDuration(AVFormatContext *ctx, int movingVideo, int audio, int64_t lastCueSeconds) noexcept {
  if (lastCueSeconds != 0) return lastCueSeconds;
  int64_t seconds = 0;
  for (const int index : {movingVideo, audio}) {
    if (index >= 0) seconds = std::max(seconds, MeasureDurationBySeek(ctx, ctx->streams[index]));
  }
  if (seconds == 0 && ctx->duration != AV_NOPTS_VALUE) seconds = ContainerDurationToSeconds(ctx->duration);
  return seconds;
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

bool ReadMediaInfo(const char *path, MpgMediaInfo &info) {
  std::memset(&info, 0, sizeof info);
  InputFormatPtr ctx;
  if (!IsOk(OpenInputFile(path, ctx))) return false;
  AVFormatContext *in = ctx.get();

  info.containerBitRate = in->bit_rate;
  info.videoStreamCount = CountStreamsOfType(in, AVMEDIA_TYPE_VIDEO);
  info.audioStreamCount = CountStreamsOfType(in, AVMEDIA_TYPE_AUDIO);
  info.subtitleStreamCount = CountStreamsOfType(in, AVMEDIA_TYPE_SUBTITLE);

  const int video = ChooseVideoStream(in);
  if (video >= 0) FillVideoFields(in->streams[video], info);
  const int audio = FindUsableAudioStream(in);
  if (audio >= 0) FillAudioFields(in->streams[audio], info);
  const int subtitle = FindFirstStreamOfType(in, AVMEDIA_TYPE_SUBTITLE);
  if (subtitle >= 0) {
    CopyUpperName(info.subtitleCodec, avcodec_get_name(in->streams[subtitle]->codecpar->codec_id));
    info.subtitleDuration = ReadSubtitleEndTime(path);
  }
  info.duration = FileDuration(in, FindMovingVideoStream(in), audio, info.subtitleDuration);
  return video >= 0 || audio >= 0 || subtitle >= 0;
}

uint32_t ReadAudioDuration(const char *path) {
  InputFormatPtr ctx;
  if (!IsOk(OpenInputFile(path, ctx))) return 0;
  const int index = FindUsableAudioStream(ctx.get());
  if (index < 0) return 0;
  AVStream *st = ctx->streams[index];
  // Ticks of the stream's own time base when it states a length that fits the
  // export's 32 bits (an MP3's 1/14112000 overflows them after about five minutes),
  // else the measured whole seconds.
  const bool ticksFit = st->duration != AV_NOPTS_VALUE && st->duration > 0 && st->duration <= int64_t{UINT32_MAX};
  const int64_t value = ticksFit ? st->duration : MeasureDurationBySeek(ctx.get(), st);
  return static_cast<uint32_t>(std::clamp<int64_t>(value, 0, UINT32_MAX));
}

}  // namespace mpg
