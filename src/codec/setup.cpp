#include "codec/setup.h"

#include <algorithm>
#include <array>
#include <utility>

#include "core/decoder.h"
#include "core/progress.h"
#include "core/streams.h"
#include "codec/output_codec.h"

namespace mpg {

namespace {

// Audio streams have no frame rate; this stands in where a container wants one.
constexpr AVRational kAudioFallbackFrameRate = {44100, 1};
constexpr AVRational kVideoFallbackFrameRate = {25, 1};
// Frame rates at or above this are demuxer guesses (a 90 kHz clock), not rates.
constexpr double kMaxPlausibleFrameRate = 1000.0;
// MPEG-4 Part 2 codes the time base denominator in 16 bits.
constexpr double kMpeg4MaxTimeBaseDen = 65535.0;
constexpr AVRational kNtscFrameTime = {1001, 30000};
// MPEG-4 encodes of inputs with a fine clock above this rate get a quarter of it.
constexpr int64_t kMpeg4BitRateLimit = 800004;

bool IsPlausibleFrameRate(AVRational r) noexcept {
  return r.num != 0 && r.den != 0 && static_cast<double>(r.num) / r.den < kMaxPlausibleFrameRate;
}

struct CodecChoice {
  AVCodecID id;
  uint32_t tag;
};

// The encoder and the tag each videoCodecChoice names; false for values out of
// range. Choice 0 is the input's codec, or the output container's usual one when
// the container cannot hold the input's or no encoder exists for it.
bool ChooseVideoCodec(const VideoEncodeRequest &req, const AVOutputFormat *fmt, const AVStream *inStream,
                      CodecChoice &choice) noexcept {
  switch (req.videoCodecChoice) {
    case 0: choice = {fmt ? ChooseOutputCodec(fmt, inStream, true) : inStream->codecpar->codec_id, 0}; return true;
    case 1: choice = {AV_CODEC_ID_MPEG4, MKTAG('X', 'V', 'I', 'D')}; return true;
    case 2: choice = {AV_CODEC_ID_MPEG4, MKTAG('D', 'X', '5', '0')}; return true;
    case 3: choice = {AV_CODEC_ID_MPEG4, MKTAG('D', 'I', 'V', 'X')}; return true;
    case 4: choice = {AV_CODEC_ID_H263, MKTAG('s', '2', '6', '3')}; return true;
    case 5: choice = {AV_CODEC_ID_H264, 0}; return true;
    case 6: {
      // OutputFormatId 2 is AVI, where MPEG-4 needs a FourCC.
      constexpr int32_t kAviOutputFormat = 2;
      choice = {AV_CODEC_ID_MPEG4, req.outputFormat == kAviOutputFormat ? MKTAG('F', 'M', 'P', '4') : 0u};
      return true;
    }
    default: return false;
  }
}

// The output size from the request's width, height and share of the decoder's size.
void DeriveOutputSize(VideoEncodeRequest &req, int decWidth, int decHeight) noexcept {
  if (req.width == 0 && req.height == 0) return;
  const int64_t p = req.scalePercent;
  const int64_t scale = ProgressScale();
  if (p >= 1 && scale > 0) {
    req.width = static_cast<int32_t>(decWidth * p / scale);
    req.height = static_cast<int32_t>(decHeight * p / scale);
  } else if (p == 0 && req.width == 0 && decHeight != 0) {
    req.width = static_cast<int32_t>(int64_t{decWidth} * req.height / decHeight);
  } else if (p == 0 && req.height == 0 && decWidth != 0) {
    req.height = static_cast<int32_t>(int64_t{decHeight} * req.width / decWidth);
  }
}

// The encoder's own pixel format when it does not take fmt: the first it lists.
AVPixelFormat ChooseEncoderPixelFormat(const AVCodec *encoder, AVPixelFormat fmt) noexcept {
  if (!encoder->pix_fmts || encoder->pix_fmts[0] == AV_PIX_FMT_NONE) return fmt;
  for (const AVPixelFormat *f = encoder->pix_fmts; *f != AV_PIX_FMT_NONE; ++f) {
    if (*f == fmt) return fmt;
  }
  return encoder->pix_fmts[0];
}

// Size steps the encoder's pixel format needs: chroma subsampled by two (4:2:0,
// 4:2:2) needs even sizes.
VideoSize SizeAlignment(AVPixelFormat fmt) noexcept {
  const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(fmt);
  if (!desc) return {1, 1};
  return {1 << desc->log2_chroma_w, 1 << desc->log2_chroma_h};
}

// v to the nearest multiple of step, at least step, as the ffmpeg tool's scaler
// rounds a derived size ("-2").
int RoundToStep(int v, int step) noexcept {
  if (v <= 0 || step <= 1) return v;
  return std::max(step, (v + step / 2) / step * step);
}

// Encoders with a list of frame rates (MPEG-1, MPEG-2) count in one of them.
void UseListedFrameRate(const AVCodec *encoder, AVRational frameRate, AVCodecContext *enc) noexcept {
  if (!encoder->supported_framerates) return;
  enc->framerate = EncoderFrameRate(encoder, frameRate);
  enc->time_base = av_inv_q(enc->framerate);
}

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
  st->r_frame_rate = IsPlausibleFrameRate(inStream->r_frame_rate) ? inStream->r_frame_rate
                                                                   : kAudioFallbackFrameRate;
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

// ---- Video ------------------------------------------------------------------------

VideoSize H263Size(int w, int h) noexcept {
  constexpr std::array<VideoSize, 5> kSizes = {{{128, 96}, {176, 144}, {352, 288}, {704, 576}, {1408, 1152}}};
  for (const VideoSize &s : kSizes) {
    if (s.width == w && s.height == h) return s;
  }
  // 128 and 176 with another height fall here too.
  if (w < 256 || h < 192) return {128, 96};
  if (w < 528 || h < 432) return {352, 288};
  if (w >= 1056 && h >= 864) return {1408, 1152};
  return {704, 576};
}

Status SetUpVideoEncoder(VideoEncodeRequest &req, AVFormatContext *out, const AVCodecContext *decCtx,
                         const AVStream *inStream, AVStream *&outStream, CodecContextPtr &encCtx) noexcept {
  outStream = nullptr;
  encCtx.reset();
  CodecChoice choice{};
  if (!ChooseVideoCodec(req, out->oformat, inStream, choice)) return Status::BadParameter;
  constexpr int32_t kH264Choice = 5;
  // H.263 codes only its five picture sizes, whichever choice led to it.
  if (choice.id == AV_CODEC_ID_H263 && decCtx->width != 0 && decCtx->height != 0) {
    const VideoSize forced = H263Size(decCtx->width, decCtx->height);
    if (forced.width != decCtx->width || forced.height != decCtx->height) {
      req.width = forced.width;
      req.height = forced.height;
    }
  }

  const AVCodec *encoder = avcodec_find_encoder(choice.id);
  if (!encoder) return kNoCodec;
  encCtx.reset(avcodec_alloc_context3(encoder));
  if (!encCtx) return Status::Unknown;
  AVCodecContext *enc = encCtx.get();
  int ret = avcodec_parameters_to_context(enc, inStream->codecpar);
  if (ret < 0) return StatusFromAv(ret);
  // The copy took the demuxer's bit rate, which may stand on a length the header
  // marks unknown: libx264 refuses 11 bit/s.
  enc->bit_rate = StatedBitRate(inStream);
  // The input's codec configuration describes another bitstream than ours.
  av_freep(&enc->extradata);
  enc->extradata_size = 0;
  if (enc->codec_id != choice.id) {
    enc->profile = FF_PROFILE_UNKNOWN;
    enc->level = FF_LEVEL_UNKNOWN;
  }
  enc->codec_id = choice.id;
  enc->codec_tag = choice.tag;
  enc->time_base = EncoderFrameClock(encoder, inStream);

  const AVRational inClock = inStream->time_base;
  if (req.videoCodecChoice != kH264Choice && choice.id == AV_CODEC_ID_MPEG4 && inClock.num != 0 &&
      static_cast<double>(inClock.den) / inClock.num > kMpeg4MaxTimeBaseDen) {
    enc->time_base = kNtscFrameTime;
    if (enc->bit_rate >= kMpeg4BitRateLimit) {
      enc->bit_rate = SnapVideoBitRate(static_cast<int32_t>(std::min<int64_t>(enc->bit_rate / 4, INT32_MAX)));
    }
  }
  // Rate control counts frames: with the input's fine time base alone (1/12800,
  // 1/90000) the encoders would budget bits for thousands of frames a second.
  AVRational frameRate = {0, 0};
  if (req.frameRate.num > 0 && req.frameRate.den > 0) {
    frameRate = req.frameRate;
  } else if (IsPlausibleFrameRate(inStream->avg_frame_rate)) {
    frameRate = inStream->avg_frame_rate;
  }
  enc->framerate = frameRate;
  // FFmpeg's MPEG-4 Part 2 and H.263 encoders take the frame rate from the time
  // base alone: they count in frame times, which MPEG-4 codes in 16 bits.
  const AVRational frameTime = av_inv_q(frameRate);
  if ((choice.id == AV_CODEC_ID_MPEG4 || choice.id == AV_CODEC_ID_H263) && frameRate.num > 0 &&
      frameTime.den <= kMpeg4MaxTimeBaseDen) {
    enc->time_base = frameTime;
  }
  UseListedFrameRate(encoder, frameRate, enc);
  DeriveOutputSize(req, decCtx->width, decCtx->height);
  if (req.width != 0 || req.height != 0) {
    enc->width = enc->coded_width = req.width;
    enc->height = enc->coded_height = req.height;
  }
  if (req.videoBitRateRequest != 0) enc->bit_rate = SnapVideoBitRate(req.videoBitRateRequest);
  // Containers with global headers (MP4, MKV) take the codec configuration from
  // the stream parameters, not from the first packet.
  if (out->oformat && (out->oformat->flags & AVFMT_GLOBALHEADER)) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  // MPEG-4 Part 2 and H.263 take only 4:2:0; the caller converts the pictures.
  enc->pix_fmt = ChooseEncoderPixelFormat(encoder, enc->pix_fmt);
  // A height of 360 from 256x110 gives an odd 837: the scaler makes the pictures fit.
  FitSizeToPixelFormat(enc);
  enc->thread_count = 0;  // automatic, as the ffmpeg tool does

  ret = avcodec_open2(enc, encoder, nullptr);
  if (ret < 0) return StatusFromAv(ret);
  outStream = avformat_new_stream(out, encoder);
  if (!outStream) return Status::Unknown;
  // The opened encoder's parameters: its size, bit rate, tag and extradata.
  ret = avcodec_parameters_from_context(outStream->codecpar, enc);
  return ret < 0 ? StatusFromAv(ret) : Status::Ok;
}

Status OpenVideoReencode(VideoEncodeRequest &req, AVFormatContext *out, const AVStream *inStream,
                         AVStream *&outStream, CodecContextPtr &decCtx, CodecContextPtr &encCtx) noexcept {
  outStream = nullptr;
  encCtx.reset();
  Status st = OpenDecoder(inStream, decCtx);
  if (!IsOk(st)) return st;
  st = SetUpVideoEncoder(req, out, decCtx.get(), inStream, outStream, encCtx);
  if (!IsOk(st)) return st;
  outStream->duration = inStream->duration;
  outStream->nb_frames = inStream->nb_frames;
  outStream->disposition = inStream->disposition;
  outStream->avg_frame_rate = inStream->avg_frame_rate;
  outStream->sample_aspect_ratio = inStream->sample_aspect_ratio;
  outStream->r_frame_rate = IsPlausibleFrameRate(inStream->r_frame_rate) ? inStream->r_frame_rate
                                                                          : kVideoFallbackFrameRate;
  // Encoded packets carry the encoder's timestamps.
  outStream->time_base = encCtx->time_base;
  return Status::Ok;
}

int32_t SnapVideoBitRate(int32_t request) noexcept {
  constexpr std::array<int32_t, 21> kSteps = {24000,   48000,   64000,   96000,   128000,  196000,  256000,
                                              384000,  512000,  768000,  1024000, 1200000, 1500000, 2000000,
                                              2500000, 3000000, 4000000, 6000000, 8000000, 10000000, 12000000};
  // Requests below 1000 are in kbit/s.
  const int64_t v = request < 1000 ? int64_t{request} * 1000 : request;
  for (int32_t step : kSteps) {
    if (v <= step) return step;
  }
  return kSteps.back();
}

AVRational SnapFrameRate(int32_t num, int32_t den) noexcept {
  struct Row {
    double maxRate;
    AVRational timeBase;
  };
  constexpr std::array<Row, 9> kRows = {{{13.0, {1, 12}},
                                         {16.0, {1, 15}},
                                         {22.0, {1, 20}},
                                         {24.0, {1001, 24000}},
                                         {26.0, {1, 25}},
                                         {29.98, {1001, 30000}},
                                         {35.0, {1, 30}},
                                         {55.0, {1, 50}},
                                         {59.98, {1001, 60000}}}};
  if (num <= 0) return {1, 60};
  const double rate = static_cast<double>(den) / num;
  for (const Row &row : kRows) {
    if (rate <= row.maxRate) return row.timeBase;
  }
  return {1, 60};
}

AVRational EncoderFrameRate(const AVCodec *encoder, AVRational wanted) noexcept {
  const AVRational rate = wanted.num > 0 && wanted.den > 0 ? wanted : kVideoFallbackFrameRate;
  if (!encoder || !encoder->supported_framerates) return rate;
  return encoder->supported_framerates[av_find_nearest_q_idx(rate, encoder->supported_framerates)];
}

AVRational EncoderFrameClock(const AVCodec *encoder, const AVStream *inStream) noexcept {
  // av_guess_frame_rate reads the stream alone; it takes neither pointer as const.
  AVRational rate = EncoderFrameRate(encoder, av_guess_frame_rate(nullptr, const_cast<AVStream *>(inStream), nullptr));
  av_reduce(&rate.num, &rate.den, rate.num, rate.den, static_cast<int64_t>(kMpeg4MaxTimeBaseDen));
  return av_inv_q(rate);
}

void FitSizeToPixelFormat(AVCodecContext *encCtx) noexcept {
  const VideoSize step = SizeAlignment(encCtx->pix_fmt);
  encCtx->width = encCtx->coded_width = RoundToStep(encCtx->width, step.width);
  encCtx->height = encCtx->coded_height = RoundToStep(encCtx->height, step.height);
}

}  // namespace mpg
