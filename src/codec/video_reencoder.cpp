#include "codec/video_reencoder.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

#include "core/codec_loop.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "codec/output_codec.h"
#include "codec/setup.h"

namespace mpg {

namespace {

constexpr AVRational kNtscFrameTime = {1001, 30000};
// MPEG-4 encodes of inputs with a fine clock above this rate get a quarter of it.
constexpr int64_t kMpeg4BitRateLimit = 800004;

// Settings that make an encoder fast enough for a short edit. At their defaults
// libaom takes minutes for a second of 720p, x265 a minute for a second of 1080p
// and libvpx half a minute for a second of 540p; these take a second or two.
struct SpeedSetting {
  std::string_view encoder;
  const char *option;
  const char *value;
};
constexpr SpeedSetting kFastSettings[] = {
    {"libsvtav1", "preset", "12"},
    {"libaom-av1", "usage", "realtime"},
    {"libaom-av1", "cpu-used", "8"},
    {"librav1e", "speed", "10"},
    {"libx265", "preset", "veryfast"},
    {"libvpx-vp9", "deadline", "realtime"},
    {"libvpx-vp9", "cpu-used", "8"},
    {"libvpx", "deadline", "realtime"},
    {"libvpx", "cpu-used", "8"},
};
// AV1 encoders from the fastest at those settings: rav1e is far slower than both
// others even at its fastest speed.
constexpr const char *kFastAv1Encoders[] = {"libsvtav1", "libaom-av1", "librav1e"};

// The encoder for id; at EncodeSpeed::Fast, for AV1, the fastest this build has.
const AVCodec *FindVideoEncoder(AVCodecID id, EncodeSpeed speed) noexcept {
  if (id == AV_CODEC_ID_AV1 && speed == EncodeSpeed::Fast) {
    for (const char *name : kFastAv1Encoders) {
      if (const AVCodec *encoder = avcodec_find_encoder_by_name(name)) return encoder;
    }
  }
  return avcodec_find_encoder(id);
}

DictPtr SpeedOptions(const AVCodec *encoder, EncodeSpeed speed) noexcept {
  AVDictionary *dict = nullptr;
  if (speed == EncodeSpeed::Fast) {
    for (const SpeedSetting &setting : kFastSettings) {
      if (setting.encoder == encoder->name) av_dict_set(&dict, setting.option, setting.value, 0);
    }
  }
  return DictPtr(dict);
}

// The top of x264's CRF scale, and of FFmpeg's quantiser scale.
constexpr int kMaxCrf = 51;
constexpr int kMaxQscale = 31;

// Constant quality on an unopened encoder: its "crf" option where it has one, else
// a fixed quantiser (MPEG-4 Part 2, H.263, MPEG-2). The bit rate then means nothing.
void SetConstantQuality(int32_t quality, const AVCodec *encoder, AVCodecContext *enc, DictPtr &options) noexcept {
  enc->bit_rate = 0;
  // av_opt_find reads a class through a pointer to it; it takes that as void *.
  void *cls = const_cast<AVClass **>(&encoder->priv_class);
  if (encoder->priv_class && av_opt_find(cls, "crf", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ)) {
    AVDictionary *dict = options.release();
    av_dict_set_int(&dict, "crf", std::min(quality, kMaxCrf), 0);
    options.reset(dict);
    return;
  }
  const int qscale = std::clamp(quality * kMaxQscale / kMaxCrf, 1, kMaxQscale);
  enc->flags |= AV_CODEC_FLAG_QSCALE;
  enc->global_quality = FF_QP2LAMBDA * qscale;
}

// The level_idc values H.264 defines (9 is level 1b).
bool IsH264Level(int level) noexcept {
  static constexpr int kLevels[] = {9, 10, 11, 12, 13, 20, 21, 22, 30, 31, 32, 40, 41, 42, 50, 51, 52, 60, 61, 62};
  return std::find(std::begin(kLevels), std::end(kLevels), level) != std::end(kLevels);
}

// An edge encoded to join copied packets (see VideoReencodeRequest::betweenCopies).
void SetBetweenCopies(const AVCodec *encoder, AVCodecContext *enc, DictPtr &options) noexcept {
  enc->max_b_frames = 0;
  const std::string_view name(encoder->name);
  AVDictionary *dict = options.release();
  if (name == "libx264") av_dict_set(&dict, "x264-params", "sps-id=1", 0);
  // libvpx: no hidden alternate reference pictures, so every packet is one picture
  // shown at its own time, as the copied packets are.
  if (name == "libvpx-vp9") {
    av_dict_set(&dict, "auto-alt-ref", "0", 0);
    av_dict_set(&dict, "lag-in-frames", "0", 0);
  }
  options.reset(dict);
}

struct VideoSize {
  int width;
  int height;
};

// The size H.263 accepts for an input of width x height: one of 128x96, 176x144,
// 352x288, 704x576 and 1408x1152.
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

// The output size the request asks for an input of inWidth x inHeight; {0, 0}
// keeps the input's.
VideoSize RequestedSize(const VideoReencodeRequest &req, AVCodecID id, int inWidth, int inHeight) noexcept {
  // H.263 codes only its five picture sizes.
  if (id == AV_CODEC_ID_H263 && inWidth != 0 && inHeight != 0) {
    const VideoSize forced = H263Size(inWidth, inHeight);
    if (forced.width != inWidth || forced.height != inHeight) return forced;
  }
  VideoSize size = {req.width, req.height};
  if (size.width == 0 && size.height != 0 && inHeight != 0) {
    size.width = static_cast<int>(int64_t{inWidth} * size.height / inHeight);
  } else if (size.height == 0 && size.width != 0 && inWidth != 0) {
    size.height = static_cast<int>(int64_t{inHeight} * size.width / inWidth);
  }
  return size;
}

// The encoder's own pixel format when it does not take fmt: the first it lists.
AVPixelFormat ChooseEncoderPixelFormat(const AVCodec *encoder, AVPixelFormat fmt) noexcept {
  if (!encoder->pix_fmts || encoder->pix_fmts[0] == AV_PIX_FMT_NONE) return fmt;
  for (const AVPixelFormat *f = encoder->pix_fmts; *f != AV_PIX_FMT_NONE; ++f) {
    if (*f == fmt) return fmt;
  }
  return encoder->pix_fmts[0];
}

// v to the nearest multiple of step, at least step, as the ffmpeg tool's scaler
// rounds a derived size ("-2").
int RoundToStep(int v, int step) noexcept {
  if (v <= 0 || step <= 1) return v;
  return std::max(step, (v + step / 2) / step * step);
}

// Rounds the width and height to the steps of the pixel format's chroma
// subsampling (4:2:0 and 4:2:2 need even sizes): a height of 360 from 256x110
// gives an odd 837.
void FitSizeToPixelFormat(AVCodecContext *encCtx) noexcept {
  const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(encCtx->pix_fmt);
  const int stepW = desc ? 1 << desc->log2_chroma_w : 1;
  const int stepH = desc ? 1 << desc->log2_chroma_h : 1;
  encCtx->width = encCtx->coded_width = RoundToStep(encCtx->width, stepW);
  encCtx->height = encCtx->coded_height = RoundToStep(encCtx->height, stepH);
}

// The frame rate a video encoder can count in: wanted (25 when unknown), moved to
// the nearest rate the encoder lists when it lists any (MPEG-1 and MPEG-2 refuse
// every other clock).
AVRational EncoderFrameRate(const AVCodec *encoder, AVRational wanted) noexcept {
  const AVRational rate = wanted.num > 0 && wanted.den > 0 ? wanted : kVideoFallbackFrameRate;
  if (!encoder || !encoder->supported_framerates) return rate;
  return encoder->supported_framerates[av_find_nearest_q_idx(rate, encoder->supported_framerates)];
}

// The clock the encoder counts inStream's pictures in: one tick per frame at the
// rate the ffmpeg tool takes for the stream (av_guess_frame_rate: its base rate, or
// its average where the base rate is only the container's clock, as with FLV's
// milliseconds), moved by EncoderFrameRate, in at most 16 bits. Counted in the
// container's clock instead, the pictures of a variable-rate stream keep to no frame
// rate the output states, and a player that goes by it shows two on one frame time.
AVRational EncoderFrameClock(const AVCodec *encoder, const AVStream *inStream) noexcept {
  // av_guess_frame_rate reads the stream alone; it takes neither pointer as const.
  AVRational rate = EncoderFrameRate(encoder, av_guess_frame_rate(nullptr, const_cast<AVStream *>(inStream), nullptr));
  av_reduce(&rate.num, &rate.den, rate.num, rate.den, kMaxTimeBaseDen16);
  return av_inv_q(rate);
}

// The encoder's clock and the frame rate its rate control plans for. The frame
// rate is the requested one, else the input's plausible average.
void SetEncoderClock(const VideoReencodeRequest &req, const AVCodec *encoder, const AVStream *inStream,
                     AVCodecContext *enc) noexcept {
  enc->time_base = EncoderFrameClock(encoder, inStream);
  const AVRational inClock = inStream->time_base;
  if (enc->codec_id == AV_CODEC_ID_MPEG4 && inClock.num != 0 &&
      static_cast<double>(inClock.den) / inClock.num > kMaxTimeBaseDen16) {
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
  if ((enc->codec_id == AV_CODEC_ID_MPEG4 || enc->codec_id == AV_CODEC_ID_H263) && frameRate.num > 0 &&
      frameTime.den <= kMaxTimeBaseDen16) {
    enc->time_base = frameTime;
  }
  // Encoders with a list of frame rates (MPEG-1, MPEG-2) count in one of them.
  if (encoder->supported_framerates) {
    enc->framerate = EncoderFrameRate(encoder, frameRate);
    enc->time_base = av_inv_q(enc->framerate);
  }
}

bool MatchesEncoder(const AVFrame *frame, const AVCodecContext *encCtx) noexcept {
  return frame->width == encCtx->width && frame->height == encCtx->height && frame->format == encCtx->pix_fmt;
}

// Ticks per second of a time base, in whole numbers as the containers count them.
int64_t TicksPerSecond(AVRational tb) noexcept { return tb.num > 0 ? tb.den / tb.num : 0; }

}  // namespace

Status VideoReencoder::Open(const VideoReencodeRequest &req, const AVStream *inStream, AVFormatContext *out) noexcept {
  inStream_ = inStream;
  startTs_ = req.startTs;
  endTs_ = req.endTs;
  decodedFrame_ = MakeFrame();
  encodedPkt_ = MakePacket();
  if (!decodedFrame_ || !encodedPkt_) return Status::NoMemory;
  Status st = OpenDecoder(inStream, decCtx_);
  if (!IsOk(st)) return st;
  st = OpenEncoder(req, out);
  if (!IsOk(st)) return st;
  // Encoded packets carry the encoder's timestamps; a lowered frame rate counts in
  // its own frame time.
  outStream_->time_base = encCtx_->time_base;
  if (req.frameRate.num > 0 && req.frameRate.den > 0) {
    frameTimeBase_ = av_inv_q(req.frameRate);
    outStream_->time_base = frameTimeBase_;
  }
  return Status::Ok;
}

// The encoder starts from the input's codec parameters (size, pixel format, aspect,
// colour), so the pictures pass unconverted where the encoder takes them.
Status VideoReencoder::OpenEncoder(const VideoReencodeRequest &req, AVFormatContext *out) noexcept {
  const AVCodecID id = req.codecId != AV_CODEC_ID_NONE
                           ? req.codecId
                           : (out->oformat ? ChooseOutputCodec(out->oformat, inStream_, true)
                                           : inStream_->codecpar->codec_id);
  const AVCodec *encoder = FindVideoEncoder(id, req.speed);
  if (!encoder) return kNoCodec;
  encCtx_.reset(avcodec_alloc_context3(encoder));
  if (!encCtx_) return Status::Unknown;
  AVCodecContext *enc = encCtx_.get();
  int ret = avcodec_parameters_to_context(enc, inStream_->codecpar);
  if (ret < 0) return StatusFromAv(ret);
  // The copy took the demuxer's bit rate, which may stand on a length the header
  // marks unknown: libx264 refuses 11 bit/s.
  enc->bit_rate = StatedBitRate(inStream_);
  // The input's codec configuration describes another bitstream than ours.
  av_freep(&enc->extradata);
  enc->extradata_size = 0;
  if (enc->codec_id != id) {
    enc->profile = FF_PROFILE_UNKNOWN;
    enc->level = FF_LEVEL_UNKNOWN;
  }
  // An AV1 stream's level is its seq_level_idx (8 for 4.0); libsvtav1 reads the
  // context's as major * 10 + minor and refuses the stream's.
  if (id == AV_CODEC_ID_AV1) enc->level = FF_LEVEL_UNKNOWN;
  // A damaged header can state any level_idc; x264 refuses one the standard does
  // not define (and leaks its parameters doing so): the encoder then picks its own.
  if (id == AV_CODEC_ID_H264 && !IsH264Level(enc->level)) enc->level = FF_LEVEL_UNKNOWN;
  enc->codec_id = id;
  enc->codec_tag = req.codecTag;
  SetEncoderClock(req, encoder, inStream_, enc);
  const VideoSize size = RequestedSize(req, id, decCtx_->width, decCtx_->height);
  if (size.width != 0 || size.height != 0) {
    enc->width = enc->coded_width = size.width;
    enc->height = enc->coded_height = size.height;
  }
  if (req.bitRate > 0) enc->bit_rate = req.bitRate;
  // Containers with global headers (MP4, MKV) take the codec configuration from
  // the stream parameters, not from the first packet.
  if (out->oformat && (out->oformat->flags & AVFMT_GLOBALHEADER)) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  // MPEG-4 Part 2 and H.263 take only 4:2:0; the scaler converts the pictures.
  enc->pix_fmt = ChooseEncoderPixelFormat(encoder, enc->pix_fmt);
  FitSizeToPixelFormat(enc);
  enc->thread_count = 0;  // automatic, as the ffmpeg tool does

  DictPtr options = SpeedOptions(encoder, req.speed);
  if (req.quality > 0) SetConstantQuality(req.quality, encoder, enc, options);
  if (req.betweenCopies) SetBetweenCopies(encoder, enc, options);
  AVDictionary *dict = options.release();
  ret = avcodec_open2(enc, encoder, &dict);
  options.reset(dict);  // what the encoder did not take
  if (ret < 0) return StatusFromAv(ret);
  outStream_ = avformat_new_stream(out, encoder);
  if (!outStream_) return Status::Unknown;
  // The opened encoder's parameters: its size, bit rate, tag and extradata.
  ret = avcodec_parameters_from_context(outStream_->codecpar, enc);
  return ret < 0 ? StatusFromAv(ret) : Status::Ok;
}

bool VideoReencoder::ForgivesEncodeErrors() const noexcept {
  return TicksPerSecond(inStream_->time_base) > TicksPerSecond(outStream_->time_base);
}

// The decoded picture at the encoder's size and pixel format.
Status VideoReencoder::ConvertPicture(const AVFrame *decoded, AVFrame *&picture) noexcept {
  const AVCodecContext *enc = encCtx_.get();
  if (!scaledFrame_) {
    const Status st = AllocVideoFrame(enc->pix_fmt, enc->width, enc->height, scaledFrame_);
    if (!IsOk(st)) return st;
  }
  AVFrame *scaled = scaledFrame_.get();
  // The encoder may still hold the last picture's buffer: write into a fresh one.
  int ret = av_frame_make_writable(scaled);
  if (ret < 0) return StatusFromAv(ret);
  const Status st = scaler_.Scale(decoded, scaled);
  if (!IsOk(st)) return st;
  scaled->pts = decoded->pts;
  picture = scaled;
  return Status::Ok;
}

// Gives an encoded packet its stream, duration and the output stream's clock, and
// queues it for the caller.
Status VideoReencoder::QueuePacket(AVPacket *pkt) noexcept {
  PacketPtr queued = MakePacket();
  if (!queued) return Status::NoMemory;
  av_packet_move_ref(queued.get(), pkt);
  queued->stream_index = outStream_->index;
  queued->duration = pendingDuration_ > 0 ? pendingDuration_ : lastInputDuration_;
  pendingDuration_ = 0;
  RescalePacketTimes(queued.get(), encCtx_->time_base, outStream_->time_base);
  finished_.push_back(std::move(queued));
  ++packetsProduced_;
  return Status::Ok;
}

Status VideoReencoder::Encode(const AVFrame *picture) noexcept {
  Status queued = Status::Ok;
  const Status st = EncodeFrame(encCtx_.get(), picture, encodedPkt_.get(), [&](AVPacket *encoded) {
    queued = QueuePacket(encoded);
    return queued;
  });
  if (!IsOk(queued)) return queued;
  if (!IsOk(st) && ForgivesEncodeErrors()) return Status::Ok;
  return st;
}

// True when the picture at pts (encoder time base) is to be encoded: its pts moves
// forward, and at a lowered frame rate it falls on a later output tick than the
// last one encoded.
bool VideoReencoder::KeepPicture(int64_t pts) noexcept {
  if (lastEncodedPts_ != AV_NOPTS_VALUE && pts <= lastEncodedPts_) return false;
  if (frameTimeBase_.num > 0 && frameTimeBase_.den > 0) {
    const int64_t tick = RescaleTs(pts, encCtx_->time_base, frameTimeBase_);
    if (lastFrameTick_ != AV_NOPTS_VALUE && tick <= lastFrameTick_) return false;
    lastFrameTick_ = tick;
  }
  lastEncodedPts_ = pts;
  return true;
}

Status VideoReencoder::OnPicture(AVFrame *decoded) noexcept {
  const AVCodecContext *enc = encCtx_.get();
  int64_t pts = decoded->best_effort_timestamp;
  if (pts != AV_NOPTS_VALUE) {
    // Pictures outside the kept range are decoded only for the ones that refer to them.
    if (startTs_ != AV_NOPTS_VALUE && pts < startTs_) return Status::Ok;
    if (endTs_ != AV_NOPTS_VALUE && pts >= endTs_) {
      pastEnd_ = true;
      return Status::Ok;
    }
    pts = RescaleTs(startTs_ != AV_NOPTS_VALUE ? pts - startTs_ : pts, inStream_->time_base, enc->time_base);
  } else if (startTs_ != AV_NOPTS_VALUE || endTs_ != AV_NOPTS_VALUE) {
    // A picture without a time cannot be placed against a range.
    return Status::Ok;
  } else {
    const int64_t step = lastInputDuration_ > 0 ? lastInputDuration_ : 1;
    pts = lastEncodedPts_ == AV_NOPTS_VALUE ? 0 : lastEncodedPts_ + step;
  }
  // A dropped picture's time goes to the next packet out.
  if (!KeepPicture(pts)) return Status::Ok;
  decoded->pts = pts;
  // The decoder's picture types would force the encoder's: let it choose its own.
  decoded->pict_type = AV_PICTURE_TYPE_NONE;
  AVFrame *picture = decoded;
  if (!MatchesEncoder(decoded, enc)) {
    const Status st = ConvertPicture(decoded, picture);
    if (!IsOk(st)) return st;
  }
  ++picturesEncoded_;
  return Encode(picture);
}

Status VideoReencoder::SendPacket(const AVPacket *pkt) noexcept {
  if (pkt->duration > 0) {
    lastInputDuration_ = RescaleDuration(pkt->duration, inStream_->time_base, encCtx_->time_base);
    pendingDuration_ += lastInputDuration_;
  }
  return DecodePacket(decCtx_.get(), pkt, decodedFrame_.get(), decodeErrors_,
                      [this](AVFrame *decoded) { return OnPicture(decoded); });
}

Status VideoReencoder::Finish() noexcept {
  // Past the range's end the decoder holds only later pictures: they come out in
  // presentation order.
  const Status st = pastEnd_ ? Status::Ok
                             : DecodePacket(decCtx_.get(), nullptr, decodedFrame_.get(), decodeErrors_,
                                            [this](AVFrame *decoded) { return OnPicture(decoded); });
  return IsOk(st) ? Encode(nullptr) : st;
}

bool VideoReencoder::TakePacket(AVPacket *pkt) noexcept {
  if (finished_.empty()) return false;
  av_packet_move_ref(pkt, finished_.front().get());
  finished_.pop_front();
  return true;
}

Status AllocVideoFrame(AVPixelFormat pixFmt, int width, int height, FramePtr &frame) noexcept {
  frame.reset();
  FramePtr fresh = MakeFrame();
  if (!fresh) return Status::NoMemory;
  const int bytes = av_image_get_buffer_size(pixFmt, width, height, 1);
  if (bytes < 0) return StatusFromAv(bytes);
  // Ask for the whole picture once, so an absurd size reads as out of memory.
  AvBufferPtr probe(av_malloc(static_cast<size_t>(bytes)));
  if (!probe) return Status::NoMemory;
  probe.reset();
  fresh->format = pixFmt;
  fresh->width = width;
  fresh->height = height;
  const int ret = av_frame_get_buffer(fresh.get(), 1);
  if (ret < 0) return StatusFromAv(ret);
  frame = std::move(fresh);
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

}  // namespace mpg
