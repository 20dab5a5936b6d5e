#include "codec/audio_reencoder.h"

#include <algorithm>
#include <utility>

#include "core/codec_loop.h"
#include "core/timebase.h"
#include "codec/audio_path.h"
#include "codec/setup.h"

namespace mpg {

namespace {

bool IsAmr(AVCodecID id) noexcept { return id == AV_CODEC_ID_AMR_NB || id == AV_CODEC_ID_AMR_WB; }

// The request's rate, channels and bit rate on an encoder context that has the
// decoder's settings.
int ApplyRequest(const AudioReencodeRequest &req, const AVCodecContext *decCtx, AVCodecContext *enc) noexcept {
  if (req.channels > 0) {
    av_channel_layout_uninit(&enc->ch_layout);
    av_channel_layout_default(&enc->ch_layout, req.channels);
  }
  if (req.bitRate > 0) enc->bit_rate = req.bitRate;
  if (req.sampleRate > 0) enc->sample_rate = req.sampleRate;
  // A frame length or byte rate in block_align would make the MP3 and AC-3
  // encoders write fixed-size blocks.
  const bool mp3Framing = enc->codec_id == AV_CODEC_ID_MP3 &&
                          (enc->block_align == 1 || enc->block_align == 1152 || enc->block_align == 576);
  if (mp3Framing || enc->codec_id == AV_CODEC_ID_AC3) enc->block_align = 0;
  // AMR carries one channel at a fixed rate, whatever was asked above.
  if (IsAmr(enc->codec_id)) {
    enc->sample_rate = enc->codec_id == AV_CODEC_ID_AMR_NB ? 8000 : 16000;
    av_channel_layout_uninit(&enc->ch_layout);
    enc->ch_layout = AV_CHANNEL_LAYOUT_MONO;
  }
  // Another codec than the input's: the input's bit rate means nothing to it (a
  // lossless or PCM rate, or one it does not code), and its rate or channels may
  // be ones it refuses.
  if (enc->codec_id != decCtx->codec_id) {
    if (req.bitRate <= 0) enc->bit_rate = EncoderDefaultBitRate(enc->codec);
    return FitEncoderRateAndChannels(enc->codec, enc);
  }
  return 0;
}

}  // namespace

Status AudioReencoder::OpenDecoder(const AVStream *inStream) noexcept {
  inStream_ = inStream;
  decodedFrame_ = MakeFrame();
  encodedPkt_ = MakePacket();
  if (!decodedFrame_ || !encodedPkt_) return Status::NoMemory;
  return mpg::OpenDecoder(inStream, decCtx_);
}

Status AudioReencoder::OpenEncoder(const AudioReencodeRequest &req, AVFormatContext *out) noexcept {
  silenceForRejected_ = req.silenceForRejected;
  Status st = AddAudioEncoderStream(out, inStream_, decCtx_.get(), req.codecId, outStream_, encCtx_);
  if (!IsOk(st)) return st;
  AVCodecContext *enc = encCtx_.get();
  const int ret = ApplyRequest(req, decCtx_.get(), enc);
  if (ret < 0) return StatusFromAv(ret);
  if (enc->sample_rate <= 0 || enc->ch_layout.nb_channels <= 0) return StatusFromAv(AVERROR(EINVAL));
  // Frames are stamped by the samples they start at: one tick per sample. Packets
  // move to the output stream's clock as they come out (Matroska keeps 1/1000,
  // MPEG-TS 1/90000).
  enc->time_base = AVRational{1, enc->sample_rate};
  outStream_->time_base = enc->time_base;
  // MP4 and 3GP keep the codec configuration in the header; the flag counts only
  // when set before the encoder opens.
  if (out->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  enc->thread_count = 0;
  st = OpenAudioResampler(decCtx_.get(), enc, swr_, fifo_);
  if (!IsOk(st)) return st;
  const int opened = avcodec_open2(enc, enc->codec, nullptr);
  if (opened < 0) return StatusFromAv(opened);
  return PublishEncoderParameters(outStream_, enc);
}

int AudioReencoder::FrameSamples() const noexcept { return AudioFrameSamples(encCtx_.get()); }

int AudioReencoder::QueuedSamples() const noexcept { return av_audio_fifo_size(fifo_.get()); }

Status AudioReencoder::SendPacket(const AVPacket *pkt) noexcept {
  const AVRational encTb = encCtx_->time_base;
  if (startPts_ == AV_NOPTS_VALUE) startPts_ = pkt->pts != AV_NOPTS_VALUE ? RescaleTs(pkt->pts, inStream_->time_base, encTb) : 0;
  bool rejected = false;
  const Status st = DecodeAudioPacket(fifo_.get(), decCtx_.get(), encCtx_.get(), swr_.get(), pkt, decodeErrors_,
                                      rejected);
  if (!IsOk(st) || !rejected || !silenceForRejected_ || pkt->duration <= 0) return st;
  // No audio packet lasts longer; a damaged one may claim to.
  const int64_t cap = int64_t{kMaxSkippedPacketSeconds} * encCtx_->sample_rate;
  const int64_t samples = RescaleDuration(pkt->duration, inStream_->time_base, encTb);
  return QueueSilence(fifo_.get(), encCtx_.get(), static_cast<int>(std::min(samples, cap)));
}

// Gives an encoded packet its stream, the output stream's clock and an increasing
// dts, and queues it for the caller.
Status AudioReencoder::QueuePacket(AVPacket *pkt) noexcept {
  PacketPtr queued = MakePacket();
  if (!queued) return Status::NoMemory;
  av_packet_move_ref(queued.get(), pkt);
  queued->stream_index = outStream_->index;
  RescalePacketTimes(queued.get(), encCtx_->time_base, outStream_->time_base);
  KeepDtsIncreasing(queued.get(), lastPacketDts_);
  encodedDuration_ += queued->duration;
  finished_.push_back(std::move(queued));
  return Status::Ok;
}

Status AudioReencoder::EncodeFrame(const AVFrame *frame) noexcept {
  return mpg::EncodeFrame(encCtx_.get(), frame, encodedPkt_.get(),
                          [this](AVPacket *encoded) { return QueuePacket(encoded); });
}

// One frame of FrameSamples (fewer when fewer are queued) stamped with the sample
// it starts at.
Status AudioReencoder::EncodeOneQueued() noexcept {
  // Counted before a short last frame is padded: the padding is no audio.
  const int samples = std::min(FrameSamples(), QueuedSamples());
  FramePtr frame;
  const Status st = LoadQueuedFrame(fifo_.get(), encCtx_.get(), frame);
  if (!IsOk(st) || !frame) return st;
  frame->pts = Position();
  samplesEncoded_ += samples;
  return EncodeFrame(frame.get());
}

Status AudioReencoder::EncodeQueued() noexcept {
  while (QueuedSamples() >= FrameSamples()) {
    const Status st = EncodeOneQueued();
    if (!IsOk(st)) return st;
  }
  return Status::Ok;
}

Status AudioReencoder::Finish() noexcept {
  bool rejected = false;
  Status st = DecodeAudioPacket(fifo_.get(), decCtx_.get(), encCtx_.get(), swr_.get(), nullptr, decodeErrors_,
                                rejected);
  while (IsOk(st) && QueuedSamples() > 0) st = EncodeOneQueued();
  return IsOk(st) ? DrainEncoder() : st;
}

Status AudioReencoder::DrainEncoder() noexcept { return EncodeFrame(nullptr); }

bool AudioReencoder::TakePacket(AVPacket *pkt) noexcept {
  if (finished_.empty()) return false;
  av_packet_move_ref(pkt, finished_.front().get());
  finished_.pop_front();
  return true;
}

}  // namespace mpg
