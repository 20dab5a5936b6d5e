// Trim: the pictures of a time range of a file's first moving video stream
// re-encoded, and its audio packets within the range copied, into a new file of the
// container type the input's name suggests; the range's start is the output's time
// 0. Refuses an input without audio or without moving video (a song's cover picture
// is not video), an output that names the input, and a range with no picture in
// it. The output is opened only once the input, its streams and the codecs are
// checked; a later failure removes it.
#include "edit/trim.h"

#include <string_view>

#include "core/codec_loop.h"
#include "core/decoder.h"
#include "core/input.h"
#include "core/output_file.h"
#include "core/seek.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "codec/setup.h"
#include "edit/edit_job.h"

namespace mpg {

namespace {

// Bilinear scaling, for the rare stream the encoder does not take as it is.
constexpr int kScaleFlags = SWS_BILINEAR;

// One call's trim. Members are destroyed in reverse order: the codecs, the output
// (removed unless finished), then the input.
struct TrimJob {
  InputFormatPtr in;  // every packet of both streams is read from it
  OutputFile out;
  int audioIndex = -1;
  int videoIndex = -1;
  AVStream *videoIn = nullptr;
  const AVStream *audioIn = nullptr;
  AVStream *audioOut = nullptr;
  AVStream *videoOut = nullptr;
  CodecContextPtr decCtx;
  CodecContextPtr encCtx;
  FramePtr frame;
  FramePtr converted;  // a picture in the encoder's size and format, when they differ
  SwsPtr sws;
  PacketPtr encPkt;
  // The kept range [startTs, endTs) in the input video stream's time base.
  int64_t startTs = 0;
  int64_t endTs = 0;
  int64_t lastEncodedPts = AV_NOPTS_VALUE;  // in the encoder's time base
  bool videoDone = false;  // a picture at or past the end came out of the decoder
  bool audioDone = false;  // an audio packet at or past the end was read
  int64_t keptPictures = 0;
  DecodeErrorRun decodeErrors;
};

// One input serves both streams: the audio is copied by its codec parameters alone
// (no codec of it is needed), the video is decoded. A cover picture (an MP3's ID3
// art, an M4A's cover) is one still packet, not video to cut.
Status OpenInput(TrimJob &job, const char *inputPath) noexcept {
  Status st = OpenInputFile(inputPath, job.in);
  if (!IsOk(st)) return st;
  job.audioIndex = FindBestAudioStream(job.in.get());
  if (job.audioIndex < 0) return Status::AudioStreamNotFound;
  job.videoIndex = FindMovingVideoStream(job.in.get());
  if (job.videoIndex < 0) return Status::VideoStreamNotFound;
  job.audioIn = job.in->streams[job.audioIndex];
  job.videoIn = job.in->streams[job.videoIndex];
  return Status::Ok;
}

Status OpenVideoDecoder(TrimJob &job) noexcept {
  const Status st = OpenDecoder(job.videoIn, job.decCtx);
  if (!IsOk(st)) return st;
  // Without a size there is nothing to open the encoder with (AVERROR_UNKNOWN, as
  // hosts know it).
  if (job.decCtx->width == 0 || job.decCtx->height == 0) return Status::Unknown;
  job.frame = MakeFrame();
  job.converted = MakeFrame();
  job.encPkt = MakePacket();
  return job.frame && job.converted && job.encPkt ? Status::Ok : Status::NoMemory;
}

// The output in the container type the input's name suggests, with a copy of the
// audio and a stream for the encoder.
Status CreateOutput(TrimJob &job, const AVOutputFormat *format, const char *outputPath) noexcept {
  Status st = job.out.Create(format, outputPath);
  if (IsOk(st)) st = AddCopyStream(job.out.get(), job.audioIn, job.audioOut);
  if (!IsOk(st)) return st;
  job.videoOut = avformat_new_stream(job.out.get(), nullptr);
  return job.videoOut ? Status::Ok : Status::NoMemory;
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

// An encoder at the decoder's size (in the steps the format's colour planes need) and the closest pixel format it takes. The output stream takes the
// opened encoder's parameters (its extradata included) before the header is
// written, so the stream written agrees with them.
Status OpenVideoEncoder(TrimJob &job) noexcept {
  AVStream *st = job.videoIn;
  const AVCodecContext *dec = job.decCtx.get();
  const AVCodec *encoder = ChooseVideoEncoder(st->codecpar->codec_id, job.out->oformat);
  if (!encoder) return kNoCodec;
  DictPtr options;
  SetSpeedOptions(encoder, options);
  job.encCtx.reset(avcodec_alloc_context3(encoder));
  if (!job.encCtx) return Status::Unknown;
  AVCodecContext *enc = job.encCtx.get();
  enc->pix_fmt = ChoosePixelFormat(encoder, dec->pix_fmt);
  enc->width = dec->width;
  enc->height = dec->height;
  FitSizeToPixelFormat(enc);
  if (enc->width == 0 || enc->height == 0) return StatusFromAv(AVERROR_INVALIDDATA);
  enc->sample_aspect_ratio = dec->sample_aspect_ratio;
  CopyEnumField(enc->color_range, dec->color_range);
  CopyEnumField(enc->color_primaries, dec->color_primaries);
  CopyEnumField(enc->color_trc, dec->color_trc);
  CopyEnumField(enc->colorspace, dec->colorspace);
  // Encoders refuse the container clocks (MPEG-2 takes only its listed rates, MPEG-4
  // Part 2 no denominator above 16 bits, and neither 1/90000).
  enc->time_base = EncoderFrameClock(encoder, st);
  enc->framerate = av_inv_q(enc->time_base);
  // The input's rate, where it states one, keeps the size of the kept part alike.
  if (const int64_t bitRate = StatedBitRate(st)) enc->bit_rate = bitRate;
  // MP4 and Matroska carry the codec set-up once, in the stream header.
  if (job.out->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary *dict = options.release();
  const int ret = avcodec_open2(enc, encoder, &dict);
  options.reset(dict);  // what the encoder did not take
  if (ret < 0) return StatusFromAv(ret);
  const Status status = PublishEncoderParameters(job.videoOut, enc);
  if (!IsOk(status)) return status;
  job.videoOut->time_base = enc->time_base;
  job.videoOut->avg_frame_rate = enc->framerate;
  return Status::Ok;
}

// Seeks to the key frame at or before the start and sets the range; 64-bit
// throughout, since a 1/90000 clock passes 32 bits within hours. The input just
// opened reads from its start already: a seek there could only land later (an
// MPEG-TS seek searches by decoding time and passes a first key frame whose
// decoding time lies before the stream's start).
Status SeekToStart(TrimJob &job, int32_t startSeconds, int32_t endSeconds) noexcept {
  const Status st = startSeconds == 0 ? Status::Ok
                                      : SeekToSecond(job.in.get(), job.decCtx.get(), job.videoIndex,
                                                     static_cast<uint32_t>(startSeconds));
  if (!IsOk(st)) return st;
  job.startTs = SecondToStreamTimestamp(job.videoIn, startSeconds);
  job.endTs = SecondToStreamTimestamp(job.videoIn, endSeconds);
  return Status::Ok;
}

// Writes one packet of the encoder.
Status WriteVideoPacket(TrimJob &job, AVPacket *pkt) noexcept {
  RescalePacketTimes(pkt, job.encCtx->time_base, job.videoOut->time_base);
  pkt->stream_index = job.videoOut->index;
  return job.out.Write(pkt);
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
  if (!picture) return Status::NoMemory;
  picture->pts = pts;
  // The encoder places its own key frames; the input's picture types mean nothing.
  picture->pict_type = AV_PICTURE_TYPE_NONE;
  job.lastEncodedPts = pts;
  ++job.keptPictures;
  return Encode(job, picture);
}

// Decodes one video packet (null: drains the decoder). A failure of the encoder or
// the write ends the trim; a packet the decoder rejects is skipped under the rule
// of core/decoder.h.
Status DecodeVideo(TrimJob &job, const AVPacket *pkt) noexcept {
  return DecodePacket(job.decCtx.get(), pkt, job.frame.get(), job.decodeErrors,
                      [&job](AVFrame *frame) { return KeepPicture(job, frame); });
}

// Copies an audio packet that starts within the range.
Status CopyAudio(TrimJob &job, AVPacket *pkt) noexcept {
  const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
  if (ts == AV_NOPTS_VALUE) return Status::Ok;
  const AVRational tb = job.audioIn->time_base, videoTb = job.videoIn->time_base;
  if (av_compare_ts(ts, tb, job.endTs, videoTb) >= 0) {
    job.audioDone = true;
    return Status::Ok;
  }
  if (av_compare_ts(ts, tb, job.startTs, videoTb) < 0) return Status::Ok;
  RescalePacketTimes(pkt, tb, job.audioOut->time_base);
  ShiftPacketTimes(pkt, RescaleTs(job.startTs, videoTb, job.audioOut->time_base));
  pkt->stream_index = job.audioOut->index;
  return job.out.Write(pkt);
}

// Reads from the start's key frame until both streams have passed the end or the
// input ends (a cut-off or damaged tail ends it too), then drains the decoder (at
// the end of the input) and the encoder.
Status CopyRange(TrimJob &job) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  bool inputEnded = false;
  while (!(job.videoDone && job.audioDone)) {
    Status st = ReadPacket(job.in.get(), pkt.get());
    if (st == Status::Eof) {
      inputEnded = true;
      break;
    }
    if (!IsOk(st)) return st;
    if (pkt->stream_index == job.audioIndex) {
      st = CopyAudio(job, pkt.get());
    } else if (pkt->stream_index == job.videoIndex && !job.videoDone) {
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
  const AVOutputFormat *format = EditOutputFormat(inputPath);
  Status st = format ? Status::Ok : kNoMuxer;
  if (IsOk(st)) st = OpenInput(job, inputPath);
  if (IsOk(st)) st = OpenVideoDecoder(job);
  if (IsOk(st)) st = SeekToStart(job, startSeconds, endSeconds);
  if (IsOk(st)) st = CreateOutput(job, format, outputPath);
  if (IsOk(st)) st = OpenVideoEncoder(job);
  if (IsOk(st)) st = job.out.WriteHeader();
  if (IsOk(st)) st = CopyRange(job);
  if (IsOk(st)) st = job.out.Finish();
  return st;
}

}  // namespace

Status TrimVideo(const char *inputPath, const char *outputPath, int32_t startSeconds, int32_t endSeconds) noexcept {
  const char *inputs[] = {inputPath};
  const Status st = RefuseOutputNamingInput(outputPath, inputs);
  if (!IsOk(st)) return st;
  TrimJob job;
  return RunTrim(job, inputPath, outputPath, startSeconds, endSeconds);
}

}  // namespace mpg
