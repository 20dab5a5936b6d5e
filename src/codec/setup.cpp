#include "codec/setup.h"

#include <algorithm>
#include <array>
#include <utility>

#include "core/decoder.h"
#include "core/streams.h"

namespace mpg {

namespace {

// Gives the (unopened) encoder the decoder's settings; see AddAudioEncoderStream.
void CopyDecoderSettingsToEncoder(const AVCodecContext *decCtx, AVCodecContext *encCtx) noexcept {
  encCtx->bit_rate = decCtx->bit_rate;
  encCtx->sample_rate = decCtx->sample_rate;
  // Decoders leave the time base unset; encoders count in samples.
  encCtx->time_base = decCtx->time_base.num > 0 && decCtx->time_base.den > 0
                          ? decCtx->time_base
                          : AVRational{1, decCtx->sample_rate > 0 ? decCtx->sample_rate : 1};
  encCtx->sample_fmt = ChooseEncoderSampleFormat(encCtx->codec, decCtx->sample_fmt);
  // Tag, profile and framing describe one codec; another codec's values would make
  // its encoder refuse to open (a DTS profile for AAC, say).
  if (encCtx->codec_id == decCtx->codec_id) {
    encCtx->codec_tag = decCtx->codec_tag;
    encCtx->frame_size = decCtx->frame_size;
    encCtx->profile = decCtx->profile;
    encCtx->initial_padding = decCtx->initial_padding;
    encCtx->trailing_padding = decCtx->trailing_padding;
    encCtx->block_align = decCtx->block_align;
  }
  av_channel_layout_uninit(&encCtx->ch_layout);
  av_channel_layout_default(&encCtx->ch_layout, decCtx->ch_layout.nb_channels);
}

}  // namespace

// ---- Audio ------------------------------------------------------------------------

AVSampleFormat ChooseEncoderSampleFormat(const AVCodec *encoder, AVSampleFormat wanted) noexcept {
  if (!encoder || !encoder->sample_fmts) return wanted;
  for (const AVSampleFormat *f = encoder->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f) {
    if (*f == wanted) return wanted;
  }
  return encoder->sample_fmts[0] == AV_SAMPLE_FMT_NONE ? wanted : encoder->sample_fmts[0];
}

int64_t EncoderDefaultBitRate(const AVCodec *encoder) noexcept {
  const CodecContextPtr fresh(avcodec_alloc_context3(encoder));
  return fresh ? fresh->bit_rate : 0;
}

int FitEncoderRateAndChannels(const AVCodec *encoder, AVCodecContext *encCtx) noexcept {
  if (encoder->supported_samplerates && encoder->supported_samplerates[0] != 0) {
    int chosen = 0, highest = 0;
    for (const int *r = encoder->supported_samplerates; *r != 0; ++r) {
      highest = std::max(highest, *r);
      if (*r >= encCtx->sample_rate && (chosen == 0 || *r < chosen)) chosen = *r;
    }
    encCtx->sample_rate = chosen != 0 ? chosen : highest;
  }
  const AVChannelLayout *layouts = encoder->ch_layouts;
  if (!layouts || layouts[0].nb_channels == 0) return 0;
  const AVChannelLayout *stereo = nullptr;
  for (const AVChannelLayout *l = layouts; l->nb_channels != 0; ++l) {
    if (l->nb_channels == encCtx->ch_layout.nb_channels) return 0;
    if (l->nb_channels == 2) stereo = l;
  }
  av_channel_layout_uninit(&encCtx->ch_layout);
  return av_channel_layout_copy(&encCtx->ch_layout, stereo ? stereo : &layouts[0]);
}

Status OpenBestAudioDecoder(AVFormatContext *in, int &streamIndex, CodecContextPtr &decCtx) noexcept {
  streamIndex = FindBestAudioStream(in);
  if (streamIndex < 0) return Status::AudioStreamNotFound;
  return OpenDecoder(in->streams[streamIndex], decCtx);
}

Status AddAudioEncoderStream(AVFormatContext *out, const AVStream *inStream, const AVCodecContext *decCtx,
                             AVCodecID codecId, AVStream *&outStream, CodecContextPtr &encCtx) noexcept {
  outStream = nullptr;
  encCtx.reset();
  const AVCodec *encoder = avcodec_find_encoder(codecId != AV_CODEC_ID_NONE ? codecId : inStream->codecpar->codec_id);
  if (!encoder) return kNoCodec;
  CodecContextPtr ctx(avcodec_alloc_context3(encoder));
  if (!ctx) return Status::Unknown;
  CopyDecoderSettingsToEncoder(decCtx, ctx.get());
  AVStream *st = avformat_new_stream(out, encoder);
  if (!st) return Status::Unknown;
  const int ret = avcodec_parameters_from_context(st->codecpar, ctx.get());
  if (ret < 0) return StatusFromAv(ret);
  // The muxer picks its own tag for the codec.
  st->codecpar->codec_tag = 0;
  st->duration = inStream->duration;
  st->r_frame_rate = PlausibleFrameRate(inStream->r_frame_rate, kAudioFallbackFrameRate);
  outStream = st;
  encCtx = std::move(ctx);
  return Status::Ok;
}

Status PublishEncoderParameters(AVStream *outStream, const AVCodecContext *encCtx) noexcept {
  const int ret = avcodec_parameters_from_context(outStream->codecpar, encCtx);
  if (ret < 0) return StatusFromAv(ret);
  outStream->codecpar->codec_tag = 0;
  return Status::Ok;
}

}  // namespace mpg
