// Trim: the pictures of a time range of a file re-encoded with an encoder of the
// file's own video codec, and its audio packets within the range copied, into a
// new file of the container type the input's name suggests; the range's start is
// the output's time 0. Refuses an input
// without audio or video, an output that names the input, and a range with no
// picture in it. After any failure the output path is removed.
#include "edit/trim.h"

#include "core/codec_loop.h"
#include "core/timebase.h"
#include "edit/edit_job.h"
#include "image/seek.h"
#include "merge/merge_job.h"
#include "transcode/setup.h"

namespace mpg {

namespace {

// Decoding failures a trim of a damaged file rides over; one more ends it.
constexpr int kMaxDecodeErrors = 25;

struct TrimJob {
  EditJob edit;
  CodecContextPtr decCtx;
  CodecContextPtr encCtx;
  FramePtr frame;
  PacketPtr encPkt;
  const AVStream *videoIn = nullptr;
  const AVStream *audioIn = nullptr;
  // The kept range [startTs, endTs) in the input video stream's time base.
  int64_t startTs = 0;
  int64_t endTs = 0;
  bool videoDone = false;  // a picture at or past the end came out of the decoder
  bool audioDone = false;  // an audio packet at or past the end was read
  int64_t keptPictures = 0;
  int decodeErrors = 0;
};

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
  job.encPkt = MakePacket();
  return job.frame && job.encPkt ? Status::Ok : Status::NoMemory;
}

// An encoder of the input's own codec, at the decoder's size and pixel format, in
// the input stream's time base, so the pictures keep their timestamps exactly. The
// output stream takes the opened encoder's parameters (its extradata included)
// before the header is written, so the stream written agrees with them.
Status OpenVideoEncoder(TrimJob &job) noexcept {
  const AVStream *st = job.videoIn;
  const AVCodecContext *dec = job.decCtx.get();
  const AVCodec *encoder = avcodec_find_encoder(st->codecpar->codec_id);
  if (!encoder) return Status::Unknown;
  job.encCtx.reset(avcodec_alloc_context3(encoder));
  if (!job.encCtx) return Status::Unknown;
  AVCodecContext *enc = job.encCtx.get();
  enc->width = dec->width;
  enc->height = dec->height;
  enc->pix_fmt = dec->pix_fmt;
  enc->sample_aspect_ratio = dec->sample_aspect_ratio;
  enc->color_range = dec->color_range;
  enc->color_primaries = dec->color_primaries;
  enc->color_trc = dec->color_trc;
  enc->colorspace = dec->colorspace;
  enc->time_base = st->time_base;
  // Rate control counts bits per frame by this; the time base is only a clock.
  const AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
  if (rate.num > 0 && rate.den > 0) enc->framerate = rate;
  // The input's rate, where it states one, keeps the size of the kept part alike.
  if (st->codecpar->bit_rate > 0) enc->bit_rate = st->codecpar->bit_rate;
  // MP4 and Matroska carry the codec set-up once, in the stream header.
  if (job.edit.out->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  const int ret = avcodec_open2(enc, encoder, nullptr);
  if (ret < 0) return StatusFromAv(ret);
  const Status status = PublishEncoderParameters(job.edit.videoOut, enc);
  if (!IsOk(status)) return status;
  job.edit.videoOut->time_base = enc->time_base;
  job.edit.videoOut->avg_frame_rate = st->avg_frame_rate;
  return Status::Ok;
}

Status OpenInputs(TrimJob &job, const char *inputPath) noexcept {
  const Status st = OpenEditInputs(job.edit, inputPath);
  if (!IsOk(st)) return st;
  job.videoIn = job.edit.videoIn->streams[job.edit.videoIndex];
  job.audioIn = job.edit.videoIn->streams[job.edit.audioIndex];
  return Status::Ok;
}

// Seeks to the key frame at or before the start and sets the range; 64-bit
// throughout, since a 1/90000 clock passes 32 bits within hours.
Status SeekToStart(TrimJob &job, int32_t startSeconds, int32_t endSeconds) noexcept {
  const Status st = SeekToSecond(job.edit.videoIn.get(), job.decCtx.get(), job.edit.videoIndex,
                                 static_cast<uint32_t>(startSeconds));
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
  // The encoder was opened for one size and format; a stream that changes them
  // mid-way cannot go on in it.
  if (frame->width != job.encCtx->width || frame->height != job.encCtx->height ||
      frame->format != job.encCtx->pix_fmt) {
    return Status::InvalidData;
  }
  // The range starts the output at 0; AVI, which stores no timestamps, would
  // otherwise play the sound a range-start ahead of the pictures.
  frame->pts = ts - job.startTs;
  // The encoder places its own key frames; the input's picture types mean nothing.
  frame->pict_type = AV_PICTURE_TYPE_NONE;
  ++job.keptPictures;
  return Encode(job, frame);
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
  const int64_t origin = RescaleTs(job.startTs, videoTb, job.edit.audioOut->time_base);
  if (pkt->pts != AV_NOPTS_VALUE) pkt->pts -= origin;
  if (pkt->dts != AV_NOPTS_VALUE) pkt->dts -= origin;
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
  const AVOutputFormat *format = nullptr;
  Status st = GuessFormatFromInputName(inputPath, format);
  if (IsOk(st)) st = CreateEditOutput(job.edit, format, outputPath);
  if (IsOk(st)) st = OpenInputs(job, inputPath);
  if (IsOk(st)) st = OpenVideoDecoder(job);
  if (IsOk(st)) st = OpenVideoEncoder(job);
  if (IsOk(st)) st = WriteEditHeader(job.edit);
  if (IsOk(st)) st = SeekToStart(job, startSeconds, endSeconds);
  if (IsOk(st)) st = CopyRange(job);
  if (IsOk(st)) st = WriteEditTrailer(job.edit);
  return st;
}

}  // namespace

Status TrimVideo(const char *inputPath, const char *outputPath, int32_t startSeconds, int32_t endSeconds) noexcept {
  const char *inputs[] = {inputPath};
  if (!IsOk(RefuseOutputNamingInput(outputPath, inputs))) return Status::SameFile;
  Status st;
  {
    TrimJob job;
    st = RunTrim(job, inputPath, outputPath, startSeconds, endSeconds);
  }  // the output is closed before its path is removed
  return DeleteOutputOnFailure(st, outputPath);
}

}  // namespace mpg
