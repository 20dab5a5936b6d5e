// The send/receive exchange with a decoder or an encoder, written once. AVERROR(EAGAIN)
// and AVERROR_EOF are states of the exchange, never results of these helpers: the
// caller sees Ok, or the FFmpeg error of the call that failed.
#pragma once

#include "core/av_ptr.h"
#include "core/decoder.h"
#include "core/status.h"

namespace mpg {

// Sends pkt to decCtx (null: the end of input, which drains the decoder) and hands
// every frame the decoder then returns to onFrame(AVFrame *), which returns a Status
// and must not keep the frame; the frame is unreferenced after each call. frame is
// scratch space owned by the caller. Returns the first failure: the decoder's
// error or onFrame's.
template <class OnFrame>
Status DecodePacket(AVCodecContext *decCtx, const AVPacket *pkt, AVFrame *frame, OnFrame &&onFrame) {
  int ret = avcodec_send_packet(decCtx, pkt);
  // EOF: the decoder was drained already; there is nothing more to hand out.
  if (ret == AVERROR_EOF) return Status::Ok;
  // Every frame is taken after each send, so EAGAIN cannot come back here.
  if (ret < 0) return StatusFromAv(ret);
  for (;;) {
    ret = avcodec_receive_frame(decCtx, frame);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return Status::Ok;
    if (ret < 0) return StatusFromAv(ret);
    const Status st = onFrame(frame);
    av_frame_unref(frame);
    if (!IsOk(st)) return st;
  }
}

// DecodePacket with the library's rule for damaged input: the decoder's own
// rejections of a packet or a frame go through errors (skipped while the run is
// short); onFrame's failures end the job as they are.
template <class OnFrame>
Status DecodePacket(AVCodecContext *decCtx, const AVPacket *pkt, AVFrame *frame, DecodeErrorRun &errors,
                    OnFrame &&onFrame) {
  int ret = avcodec_send_packet(decCtx, pkt);
  if (ret == AVERROR_EOF) return Status::Ok;
  if (ret < 0) return errors.Judge(ret);
  for (;;) {
    ret = avcodec_receive_frame(decCtx, frame);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return errors.Judge(0);
    if (ret < 0) {
      const Status judged = errors.Judge(ret);
      if (!IsOk(judged)) return judged;
      continue;
    }
    const Status st = onFrame(frame);
    av_frame_unref(frame);
    if (!IsOk(st)) return st;
  }
}

// Sends frame to encCtx (null: the end of input, which drains the encoder) and
// hands every packet the encoder then returns to onPacket(AVPacket *), which
// returns a Status and takes the packet's reference or leaves it to be unreferenced.
// pkt is scratch space owned by the caller.
template <class OnPacket>
Status EncodeFrame(AVCodecContext *encCtx, const AVFrame *frame, AVPacket *pkt, OnPacket &&onPacket) {
  int ret = avcodec_send_frame(encCtx, frame);
  // EOF on a null frame: the encoder is draining already; take what it still holds.
  if (ret < 0 && !(ret == AVERROR_EOF && !frame)) return StatusFromAv(ret);
  for (;;) {
    ret = avcodec_receive_packet(encCtx, pkt);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return Status::Ok;
    if (ret < 0) return StatusFromAv(ret);
    const Status st = onPacket(pkt);
    av_packet_unref(pkt);
    if (!IsOk(st)) return st;
  }
}

}  // namespace mpg
