#include "codec/video_path.h"

#include "core/codec_loop.h"
#include "core/timebase.h"

namespace mpg {

namespace {

// Ticks per second of a time base, in whole numbers as the containers count them.
int64_t TicksPerSecond(AVRational tb) noexcept { return tb.num > 0 ? tb.den / tb.num : 0; }

// Encoder errors pass while the input clock is finer than the output's: pictures
// that meet on one output tick are what the encoder complains about there.
bool ForgivesEncodeErrors(const VideoReencodeState &video) noexcept {
  return video.inStream && video.outStream &&
         TicksPerSecond(video.inStream->time_base) > TicksPerSecond(video.outStream->time_base);
}

bool MatchesEncoder(const AVFrame *frame, const AVCodecContext *encCtx) noexcept {
  return frame->width == encCtx->width && frame->height == encCtx->height && frame->format == encCtx->pix_fmt;
}

// A converter from decoded's geometry to scaled's, made again when the decoded
// geometry changes in the middle of the stream, so every picture is read with
// its own size. It runs on FFmpeg's automatic thread count.
Status PrepareScaler(VideoReencodeState &video, const AVFrame *decoded, const AVFrame *scaled) noexcept {
  if (video.sws && video.swsWidth == decoded->width && video.swsHeight == decoded->height &&
      video.swsFormat == decoded->format) {
    return Status::Ok;
  }
  video.sws.reset(sws_alloc_context());
  SwsContext *sws = video.sws.get();
  if (!sws) return Status::NoMemory;
  const bool set = av_opt_set_int(sws, "srcw", decoded->width, 0) >= 0 &&
                   av_opt_set_int(sws, "srch", decoded->height, 0) >= 0 &&
                   av_opt_set_int(sws, "src_format", decoded->format, 0) >= 0 &&
                   av_opt_set_int(sws, "dstw", scaled->width, 0) >= 0 &&
                   av_opt_set_int(sws, "dsth", scaled->height, 0) >= 0 &&
                   av_opt_set_int(sws, "dst_format", scaled->format, 0) >= 0 &&
                   av_opt_set_int(sws, "sws_flags", SWS_BICUBIC, 0) >= 0 &&
                   av_opt_set_int(sws, "threads", 0, 0) >= 0;
  const int ret = set ? sws_init_context(sws, nullptr, nullptr) : AVERROR(EINVAL);
  if (ret < 0) {
    video.sws.reset();
    // The scaler cannot convert between these formats or sizes.
    return StatusFromAv(ret);
  }
  video.swsWidth = decoded->width;
  video.swsHeight = decoded->height;
  video.swsFormat = decoded->format;
  return Status::Ok;
}

// The decoded picture at the encoder's size and pixel format.
Status ConvertPicture(VideoReencodeState &video, const AVFrame *decoded, const AVCodecContext *encCtx,
                      AVFrame *&picture) noexcept {
  if (!video.scaledFrame) {
    const Status st = AllocVideoFrame(encCtx->pix_fmt, encCtx->width, encCtx->height, video.scaledFrame);
    if (!IsOk(st)) return st;
  }
  AVFrame *scaled = video.scaledFrame.get();
  // The encoder may still hold the last picture's buffer: write into a fresh one.
  int ret = av_frame_make_writable(scaled);
  if (ret < 0) return StatusFromAv(ret);
  const Status st = PrepareScaler(video, decoded, scaled);
  if (!IsOk(st)) return st;
  // Slices go to the scaler's threads only through the frame interface.
  ret = sws_scale_frame(video.sws.get(), scaled, decoded);
  if (ret < 0) return StatusFromAv(ret);
  scaled->pts = decoded->pts;
  picture = scaled;
  return Status::Ok;
}

// Gives an encoded packet its stream, duration and the output stream's clock, and
// writes it.
Status WriteVideoPacket(VideoReencodeState &video, OutputFile &out, const AVCodecContext *encCtx,
                        AVPacket *pkt) noexcept {
  pkt->stream_index = video.outStream->index;
  pkt->duration = video.pendingDuration > 0 ? video.pendingDuration : video.lastInputDuration;
  video.pendingDuration = 0;
  RescalePacketTimes(pkt, encCtx->time_base, video.outStream->time_base);
  return out.Write(pkt);
}

Status Encode(VideoReencodeState &video, OutputFile &out, AVCodecContext *encCtx, const AVFrame *picture) noexcept {
  Status written = Status::Ok;
  const Status st = EncodeFrame(encCtx, picture, video.encodedPkt.get(), [&](AVPacket *encoded) {
    written = WriteVideoPacket(video, out, encCtx, encoded);
    if (IsOk(written)) ++video.writtenPackets;
    return written;
  });
  // A failed write is never forgiven: the file would be missing what was encoded.
  if (!IsOk(written)) return written;
  if (!IsOk(st) && ForgivesEncodeErrors(video)) return Status::Ok;
  return st;
}

// True when the picture at pts is to be encoded: its pts moves forward, and at a
// lowered frame rate it falls on a later output tick than the last one encoded.
bool KeepPicture(VideoReencodeState &video, const AVCodecContext *encCtx, int64_t pts) noexcept {
  if (video.lastEncodedPts != AV_NOPTS_VALUE && pts <= video.lastEncodedPts) return false;
  if (video.frameTimeBase.num > 0 && video.frameTimeBase.den > 0) {
    const int64_t tick = RescaleTs(pts, encCtx->time_base, video.frameTimeBase);
    if (video.lastFrameTick != AV_NOPTS_VALUE && tick <= video.lastFrameTick) return false;
    video.lastFrameTick = tick;
  }
  video.lastEncodedPts = pts;
  return true;
}

Status EncodePicture(VideoReencodeState &video, OutputFile &out, AVCodecContext *encCtx, AVFrame *decoded) noexcept {
  int64_t pts = decoded->best_effort_timestamp;
  if (pts == AV_NOPTS_VALUE) {
    const int64_t step = video.lastInputDuration > 0 ? video.lastInputDuration : 1;
    pts = video.lastEncodedPts == AV_NOPTS_VALUE ? 0 : video.lastEncodedPts + step;
  }
  // A dropped picture's time goes to the next packet written.
  if (!KeepPicture(video, encCtx, pts)) return Status::Ok;
  decoded->pts = pts;
  // The decoder's picture types would force the encoder's: let it choose its own.
  decoded->pict_type = AV_PICTURE_TYPE_NONE;
  AVFrame *picture = decoded;
  if (!MatchesEncoder(decoded, encCtx)) {
    const Status st = ConvertPicture(video, decoded, encCtx, picture);
    if (!IsOk(st)) return st;
  }
  return Encode(video, out, encCtx, picture);
}

}  // namespace

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

Status PrepareVideoReencode(VideoReencodeState &video) noexcept {
  video.decodedFrame = MakeFrame();
  video.encodedPkt = MakePacket();
  return video.decodedFrame && video.encodedPkt ? Status::Ok : Status::NoMemory;
}

Status ReencodeVideoPacket(VideoReencodeState &video, OutputFile &out, AVCodecContext *decCtx,
                           AVCodecContext *encCtx, const AVPacket *pkt) noexcept {
  if (pkt && pkt->duration > 0) {
    video.lastInputDuration = pkt->duration;
    video.pendingDuration += pkt->duration;
  }
  Status st = DecodePacket(decCtx, pkt, video.decodedFrame.get(), video.decodeErrors,
                           [&](AVFrame *decoded) { return EncodePicture(video, out, encCtx, decoded); });
  if (!IsOk(st) || pkt) return st;
  return Encode(video, out, encCtx, nullptr);
}

}  // namespace mpg
