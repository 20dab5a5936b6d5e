// Trim: the pictures of a time range of a file's first moving video stream
// re-encoded, and its audio packets within the range copied, into a new file of the
// container type the input's name suggests; the range's start is the output's time
// 0. Refuses an input without audio or without moving video (a song's cover picture
// is not video), an output that names the input, and a range with no picture in
// it. After any failure the output path is removed.
#include "edit/trim.h"

#include "core/codec_loop.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "edit/edit_job.h"
#include "core/seek.h"
#include "core/output_file.h"
#include "codec/audio_path.h"
#include "codec/setup.h"

#include <string_view>

namespace mpg {

namespace {

// Decoding failures a trim of a damaged file rides over; one more ends it.
constexpr int kMaxDecodeErrors = 25;
// MPEG-4 Part 2, H.263 and their kin store the clock's denominator in 16 bits.
constexpr int kMaxTimeBaseDenominator = 65535;
// Bilinear scaling, for the rare stream the encoder does not take as it is.
constexpr int kScaleFlags = SWS_BILINEAR;

struct TrimJob {
  EditJob edit;
  CodecContextPtr decCtx;
  CodecContextPtr encCtx;
  FramePtr frame;
  FramePtr converted;  // a picture in the encoder's size and format, when they differ
  SwsPtr sws;
  PacketPtr encPkt;
  const AVStream *videoIn = nullptr;
  const AVStream *audioIn = nullptr;
  // The kept range [startTs, endTs) in the input video stream's time base.
  int64_t startTs = 0;
  int64_t endTs = 0;
  int64_t lastEncodedPts = AV_NOPTS_VALUE;  // in the encoder's time base
  bool videoDone = false;  // a picture at or past the end came out of the decoder
  bool audioDone = false;  // an audio packet at or past the end was read
  int64_t keptPictures = 0;
  int decodeErrors = 0;
};

// One input serves both streams: the audio is copied by its codec parameters alone
// (no codec of it is needed), the video is decoded. A cover picture (an MP3's ID3
// art, an M4A's cover) is one still packet, not video to cut.
Status OpenInputs(TrimJob &job, const char *inputPath) noexcept {
  EditJob &edit = job.edit;
  Status st = OpenInputFile(inputPath, edit.videoIn);
  if (!IsOk(st)) return st;
  AVFormatContext *in = edit.videoIn.get();
  edit.audioIndex = FindBestAudioStream(in);
  if (edit.audioIndex < 0) return Status::AudioStreamNotFound;
  edit.videoIndex = FindMovingVideoStream(in);
  if (edit.videoIndex < 0) return Status::VideoStreamNotFound;
  job.audioIn = in->streams[edit.audioIndex];
  job.videoIn = in->streams[edit.videoIndex];
  st = AddCopyStream(edit.out.get(), job.audioIn, edit.audioOut);
  if (!IsOk(st)) return st;
  edit.videoOut = avformat_new_stream(edit.out.get(), nullptr);
  return edit.videoOut ? Status::Ok : Status::NoMemory;
}

Status OpenVideoDecoder(TrimJob &job) noexcept {
  const AVStream *st = job.videoIn;
  const AVCodec *decoder = avcodec_find_decoder(st->codecpar->codec_id);
  if (!decoder) return Status::Unknown;
  job.decCtx.reset(avcodec_alloc_context3(decoder));
  if (!job.decCtx) return Status::Unknown;
  int ret = avcodec_parameters_to_context(job.decCtx.get(), st->codecpar);
  if (ret < 0) return StatusFromAv(ret);
  job.decCtx->pkt_timebase = st->time_base;
  ret = avcodec_open2(job.decCtx.get(), decoder, nullptr);
  if (ret < 0) return StatusFromAv(ret);
  // Without a size there is nothing to open the encoder with.
  if (job.decCtx->width == 0 || job.decCtx->height == 0) return Status::Unknown;
  job.frame = MakeFrame();
  job.converted = MakeFrame();
  job.encPkt = MakePacket();
  return job.frame && job.converted && job.encPkt ? Status::Ok : Status::NoMemory;
}

// Settings that make an encoder fast enough for a trim. At their defaults libaom
// takes minutes for a second of 720p, x265 a minute for a second of 1080p and
// libvpx half a minute for a second of 540p; these take a second or two.
struct SpeedSetting {
  std::string_view encoder;
  const char *option;
  const char *value;
};
constexpr SpeedSetting kSpeedSettings[] = {
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
constexpr const char *kAv1Encoders[] = {"libsvtav1", "libaom-av1", "librav1e"};

void SetSpeedOptions(const AVCodec *encoder, DictPtr &options) noexcept {
  AVDictionary *dict = nullptr;
  for (const SpeedSetting &setting : kSpeedSettings) {
    if (setting.encoder == encoder->name) av_dict_set(&dict, setting.option, setting.value, 0);
  }
  options.reset(dict);
}

// Whether the container can carry codecId; a muxer that cannot tell is trusted.
bool ContainerTakes(const AVOutputFormat *format, AVCodecID codecId) noexcept {
  return avformat_query_codec(format, codecId, FF_COMPLIANCE_NORMAL) != 0;
}

// The encoder for the kept pictures: an encoder of the input's own codec where this
// build has one and the container takes it (for AV1 the fastest); otherwise the
// container's usual video codec (VP6F and WMV3 have no encoder: an FLV gets
// Sorenson H.263), as the ffmpeg tool chooses. Null when neither exists.
const AVCodec *ChooseVideoEncoder(AVCodecID codecId, const AVOutputFormat *format) noexcept {
  if (ContainerTakes(format, codecId)) {
    if (codecId == AV_CODEC_ID_AV1) {
      for (const char *name : kAv1Encoders) {
        if (const AVCodec *encoder = avcodec_find_encoder_by_name(name)) return encoder;
      }
    }
    if (const AVCodec *encoder = avcodec_find_encoder(codecId)) return encoder;
  }
  return avcodec_find_encoder(format->video_codec);
}

// The pixel format the encoder takes that is closest to the decoder's.
AVPixelFormat ChoosePixelFormat(const AVCodec *encoder, AVPixelFormat decoded) noexcept {
  if (!encoder->pix_fmts) return decoded;
  for (const AVPixelFormat *f = encoder->pix_fmts; *f != AV_PIX_FMT_NONE; ++f) {
    if (*f == decoded) return decoded;
  }
  return avcodec_find_best_pix_fmt_of_list(encoder->pix_fmts, decoded, 0, nullptr);
}

// The encoder's clock: one tick per picture at the input's frame rate, as the
// ffmpeg tool sets it. Encoders refuse the container clocks (MPEG-2 takes only its
// listed rates, MPEG-4 Part 2 no denominator above 16 bits, and neither 1/90000).
AVRational EncoderTimeBase(const AVCodec *encoder, AVFormatContext *in, AVStream *st) noexcept {
  AVRational rate = EncoderFrameRate(encoder, av_guess_frame_rate(in, st, nullptr));
  av_reduce(&rate.num, &rate.den, rate.num, rate.den, kMaxTimeBaseDenominator);
  return av_inv_q(rate);
}

// An encoder at the decoder's size (in the steps the format's colour planes need) and the closest pixel format it takes. The output stream takes the
// opened encoder's parameters (its extradata included) before the header is
// written, so the stream written agrees with them.
Status OpenVideoEncoder(TrimJob &job) noexcept {
  AVStream *st = job.edit.videoIn->streams[job.edit.videoIndex];
  const AVCodecContext *dec = job.decCtx.get();
  const AVCodec *encoder = ChooseVideoEncoder(st->codecpar->codec_id, job.edit.out->oformat);
  if (!encoder) return Status::Unknown;
  DictPtr options;
  SetSpeedOptions(encoder, options);
  job.encCtx.reset(avcodec_alloc_context3(encoder));
  if (!job.encCtx) return Status::Unknown;
  AVCodecContext *enc = job.encCtx.get();
  enc->pix_fmt = ChoosePixelFormat(encoder, dec->pix_fmt);
  enc->width = dec->width;
  enc->height = dec->height;
  FitSizeToPixelFormat(enc);
  if (enc->width == 0 || enc->height == 0) return Status::Unknown;
  enc->sample_aspect_ratio = dec->sample_aspect_ratio;
  enc->color_range = dec->color_range;
  enc->color_primaries = dec->color_primaries;
  enc->color_trc = dec->color_trc;
  enc->colorspace = dec->colorspace;
  enc->time_base = EncoderTimeBase(encoder, job.edit.videoIn.get(), st);
  enc->framerate = av_inv_q(enc->time_base);
  // The input's rate, where it states one, keeps the size of the kept part alike.
  if (st->codecpar->bit_rate > 0) enc->bit_rate = st->codecpar->bit_rate;
  // MP4 and Matroska carry the codec set-up once, in the stream header.
  if (job.edit.out->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary *dict = options.release();
  const int ret = avcodec_open2(enc, encoder, &dict);
  options.reset(dict);  // what the encoder did not take
  if (ret < 0) return StatusFromAv(ret);
  const Status status = PublishEncoderParameters(job.edit.videoOut, enc);
  if (!IsOk(status)) return status;
  job.edit.videoOut->time_base = enc->time_base;
  job.edit.videoOut->avg_frame_rate = enc->framerate;
  return Status::Ok;
}

// Seeks to the key frame at or before the start and sets the range; 64-bit
// throughout, since a 1/90000 clock passes 32 bits within hours. The input just
// opened reads from its start already: a seek there could only land later (an
// MPEG-TS seek searches by decoding time and passes a first key frame whose
// decoding time lies before the stream's start).
Status SeekToStart(TrimJob &job, int32_t startSeconds, int32_t endSeconds) noexcept {
  const Status st = startSeconds == 0 ? Status::Ok
                                      : SeekToSecond(job.edit.videoIn.get(), job.decCtx.get(),
                                                     job.edit.videoIndex, static_cast<uint32_t>(startSeconds));
  if (!IsOk(st)) return st;
  job.startTs = SecondToStreamTimestamp(job.videoIn, startSeconds);
  job.endTs = SecondToStreamTimestamp(job.videoIn, endSeconds);
  return Status::Ok;
}

// Writes one packet of the encoder; the write takes the packet's reference.
Status WriteVideoPacket(TrimJob &job, AVPacket *pkt) noexcept {
  RescalePacketTimes(pkt, job.encCtx->time_base, job.edit.videoOut->time_base);
  pkt->stream_index = job.edit.videoOut->index;
  const int ret = av_interleaved_write_frame(job.edit.out.get(), pkt);
  return ret < 0 ? StatusFromAv(ret) : Status::Ok;
}

Status Encode(TrimJob &job, const AVFrame *frame) noexcept {
  return EncodeFrame(job.encCtx.get(), frame, job.encPkt.get(),
                     [&job](AVPacket *pkt) { return WriteVideoPacket(job, pkt); });
}

// frame in the encoder's size and pixel format: frame itself when it already is,
// else a converted copy (an odd size rounded down, a format the encoder lacks, a
// stream that changes size mid-way). Null when the conversion fails.
AVFrame *PictureForEncoder(TrimJob &job, AVFrame *frame) noexcept {
  const AVCodecContext *enc = job.encCtx.get();
  if (frame->width == enc->width && frame->height == enc->height && frame->format == enc->pix_fmt) return frame;
  job.sws.reset(sws_getCachedContext(job.sws.release(), frame->width, frame->height,
                                     static_cast<AVPixelFormat>(frame->format), enc->width, enc->height,
                                     enc->pix_fmt, kScaleFlags, nullptr, nullptr, nullptr));
  if (!job.sws) return nullptr;
  AVFrame *out = job.converted.get();
  av_frame_unref(out);
  out->format = enc->pix_fmt;
  out->width = enc->width;
  out->height = enc->height;
  if (av_frame_get_buffer(out, 0) < 0) return nullptr;
  if (sws_scale(job.sws.get(), frame->data, frame->linesize, 0, frame->height, out->data, out->linesize) < 0) {
    return nullptr;
  }
  out->sample_aspect_ratio = frame->sample_aspect_ratio;
  return out;
}

// A decoded picture is kept when its own timestamp lies in the range; decoding
// order and the pts of the packet last sent say nothing about it.
Status KeepPicture(TrimJob &job, AVFrame *frame) noexcept {
  int64_t ts = frame->best_effort_timestamp;
  if (ts == AV_NOPTS_VALUE) ts = frame->pts;
  if (ts == AV_NOPTS_VALUE || ts < job.startTs) return Status::Ok;
  if (ts >= job.endTs) {
    job.videoDone = true;
    return Status::Ok;
  }
  // The range starts the output at 0; AVI, which stores no timestamps, would
  // otherwise play the sound a range-start ahead of the pictures.
  const int64_t pts = RescaleTs(ts - job.startTs, job.videoIn->time_base, job.encCtx->time_base);
  // Two pictures on one tick of the encoder's clock (a variable-rate input): the
  // first is kept, as the ffmpeg tool does for variable-rate containers.
  if (job.lastEncodedPts != AV_NOPTS_VALUE && pts <= job.lastEncodedPts) return Status::Ok;
  AVFrame *picture = PictureForEncoder(job, frame);
  if (!picture) return Status::Unknown;
  picture->pts = pts;
  // The encoder places its own key frames; the input's picture types mean nothing.
  picture->pict_type = AV_PICTURE_TYPE_NONE;
  job.lastEncodedPts = pts;
  ++job.keptPictures;
  return Encode(job, picture);
}

// Decodes one video packet (null: drains the decoder). A failure of the encoder or
// the write ends the trim; a decoding failure only when there were too many.
Status DecodeVideo(TrimJob &job, const AVPacket *pkt) noexcept {
  Status keepStatus = Status::Ok;
  const Status st = DecodePacket(job.decCtx.get(), pkt, job.frame.get(), [&job, &keepStatus](AVFrame *frame) {
    keepStatus = KeepPicture(job, frame);
    return keepStatus;
  });
  if (!IsOk(keepStatus)) return keepStatus;
  if (IsOk(st)) return Status::Ok;
  return ++job.decodeErrors > kMaxDecodeErrors ? st : Status::Ok;
}

// Copies an audio packet that starts within the range.
void CopyAudio(TrimJob &job, AVPacket *pkt) noexcept {
  const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
  if (ts == AV_NOPTS_VALUE) return;
  const AVRational tb = job.audioIn->time_base, videoTb = job.videoIn->time_base;
  if (av_compare_ts(ts, tb, job.endTs, videoTb) >= 0) {
    job.audioDone = true;
    return;
  }
  if (av_compare_ts(ts, tb, job.startTs, videoTb) < 0) return;
  RescalePacketTimes(pkt, tb, job.edit.audioOut->time_base);
  ShiftPacketTimes(pkt, RescaleTs(job.startTs, videoTb, job.edit.audioOut->time_base));
  pkt->stream_index = job.edit.audioOut->index;
  // A muxer may refuse one odd packet of the input; the trim goes on without it.
  av_interleaved_write_frame(job.edit.out.get(), pkt);
}

// Reads from the start's key frame until both streams have passed the end or the
// input ends, then drains the decoder (at the end of the input) and the encoder.
Status CopyRange(TrimJob &job) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  AVFormatContext *in = job.edit.videoIn.get();
  bool inputEnded = false;
  while (!(job.videoDone && job.audioDone)) {
    const int ret = av_read_frame(in, pkt.get());
    if (ret == AVERROR(EAGAIN)) continue;
    if (ret == AVERROR_EOF || ret == AVERROR(EIO)) {
      inputEnded = true;
      break;
    }
    if (ret < 0) return StatusFromAv(ret);
    Status st = Status::Ok;
    if (pkt->stream_index == job.edit.audioIndex) {
      CopyAudio(job, pkt.get());
    } else if (pkt->stream_index == job.edit.videoIndex && !job.videoDone) {
      st = DecodeVideo(job, pkt.get());
    }
    av_packet_unref(pkt.get());
    if (!IsOk(st)) return st;
  }
  // The decoder still holds the last pictures of the input.
  if (inputEnded && !job.videoDone) {
    const Status st = DecodeVideo(job, nullptr);
    if (!IsOk(st)) return st;
  }
  if (job.keptPictures == 0) return Status::Eof;
  return Encode(job, nullptr);
}

Status RunTrim(TrimJob &job, const char *inputPath, const char *outputPath, int32_t startSeconds,
               int32_t endSeconds) noexcept {
  Status st = CreateEditOutput(job.edit, inputPath, outputPath);
  if (IsOk(st)) st = OpenInputs(job, inputPath);
  if (IsOk(st)) st = OpenVideoDecoder(job);
  if (IsOk(st)) st = OpenVideoEncoder(job);
  if (IsOk(st)) st = job.edit.out.WriteHeader();
  if (IsOk(st)) st = SeekToStart(job, startSeconds, endSeconds);
  if (IsOk(st)) st = CopyRange(job);
  if (IsOk(st)) st = job.edit.out.Finish();
  return st;
}

}  // namespace

Status TrimVideo(const char *inputPath, const char *outputPath, int32_t startSeconds, int32_t endSeconds) noexcept {
  const char *inputs[] = {inputPath};
  if (!IsOk(RefuseOutputNamingInput(outputPath, inputs))) return Status::SameFile;
  TrimJob job;
  return RunTrim(job, inputPath, outputPath, startSeconds, endSeconds);
}

}  // namespace mpg
