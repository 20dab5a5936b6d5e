// The audio re-encode engine: one input audio stream decoded, its samples
// converted to the encoder's format, rate and channels and queued, frames of the
// encoder's size encoded, and the encoded packets handed back for the caller's
// output. The engine owns its decoder, resampler, sample queue, encoder and their
// clock: a frame is stamped with the sample it starts at, counted from the first
// packet's time, so the audio keeps its length whatever the input's packet sizes.
#pragma once

#include <cstdint>
#include <deque>

#include "core/av_ptr.h"
#include "core/decoder.h"
#include "codec/finished_packets.h"
#include "core/output_file.h"
#include "core/status.h"

namespace mpg {

// What a pipeline asks of the audio encoder, in codec terms. Zero fields keep the
// decoder's value.
struct AudioReencodeRequest {
  AVCodecID codecId = AV_CODEC_ID_NONE;  // AV_CODEC_ID_NONE: the input's codec
  int32_t sampleRate = 0;                // Hz
  int32_t channels = 0;                  // the default layout of this count
  // bit/s; 0: the input's for its own codec, else the encoder's default.
  int64_t bitRate = 0;
  // A packet the decoder rejects leaves its time as silence (at most
  // kMaxSkippedPacketSeconds), so later audio stays where it belongs against a
  // video; otherwise it is left out.
  bool silenceForRejected = false;
};

// The most time one rejected packet is kept as silence.
inline constexpr int kMaxSkippedPacketSeconds = 2;

// One stream's re-encode. OpenDecoder, then OpenEncoder (the caller may read the
// decoder's settings between the two); then SendPacket for each input packet,
// EncodeQueued when frames are wanted, and Finish (or DrainEncoder) at the end,
// taking the finished packets after each call.
class AudioReencoder {
 public:
  AudioReencoder() noexcept = default;
  AudioReencoder(const AudioReencoder &) = delete;
  AudioReencoder &operator=(const AudioReencoder &) = delete;

  // Opens the decoder of inStream (borrowed; it must outlive the engine).
  // OpenDecoder's codes.
  Status OpenDecoder(const AVStream *inStream) noexcept;
  // Adds the encoder's stream to out (borrowed; not yet written) and opens the
  // encoder req asks for, starting from the decoder's settings: AMR is always mono
  // at its one rate; another codec than the input's is moved to a rate and channel
  // count it lists (FitEncoderRateAndChannels); encoders count one tick per sample.
  // Then the resampler and the queue. The stream gets the opened encoder's
  // parameters and its clock. kNoCodec; NoMemory; AVERROR(EINVAL) for a rate or
  // channel count of 0; the FFmpeg error of the open or the resampler.
  Status OpenEncoder(const AudioReencodeRequest &req, AVFormatContext *out) noexcept;

  // Decodes pkt (timestamps in the input stream's time base) and queues its
  // samples; the first packet places the audio. A packet the decoder rejects is
  // skipped under core/decoder.h's rule. InvalidData for a frame whose format,
  // rate or channel count differs from the first; NoMemory; or the decoder's or
  // resampler's error.
  Status SendPacket(const AVPacket *pkt) noexcept;
  // Encodes every whole frame queued. The encoder's error.
  Status EncodeQueued() noexcept;
  // The end of the input: drains the decoder and the resampler, encodes what is
  // queued (a short last frame padded for encoders that need whole ones), then
  // drains the encoder. SendPacket's and EncodeQueued's codes.
  Status Finish() noexcept;
  // Drains the encoder alone; what is still queued is left out (a stopped job, or
  // audio cut where the video ends). The encoder's error.
  Status DrainEncoder() noexcept;

  // Moves the next finished packet into pkt (which must be empty): stream index of
  // the output stream, timestamps in its time base, dts increasing. False when none
  // is waiting.
  bool TakePacket(AVPacket *pkt) noexcept;

  const AVCodecContext *Decoder() const noexcept { return decCtx_.get(); }
  const AVCodecContext *Encoder() const noexcept { return encCtx_.get(); }
  AVStream *OutStream() const noexcept { return outStream_; }
  int FrameSamples() const noexcept;
  int QueuedSamples() const noexcept;
  // Samples handed to the encoder so far.
  int64_t SamplesEncoded() const noexcept { return samplesEncoded_; }
  // Where the next frame starts, in the encoder's time base.
  int64_t Position() const noexcept { return (startPts_ == AV_NOPTS_VALUE ? 0 : startPts_) + samplesEncoded_; }
  // True once a packet has placed the audio.
  bool Started() const noexcept { return startPts_ != AV_NOPTS_VALUE; }
  // Sum of the finished packets' durations, in the output stream's time base.
  int64_t EncodedDuration() const noexcept { return encodedDuration_; }

 private:
  Status EncodeFrame(const AVFrame *frame) noexcept;
  Status EncodeOneQueued() noexcept;
  Status QueuePacket(AVPacket *pkt) noexcept;

  const AVStream *inStream_ = nullptr;
  AVStream *outStream_ = nullptr;
  CodecContextPtr decCtx_;
  CodecContextPtr encCtx_;
  SwrPtr swr_;
  AudioFifoPtr fifo_;
  FramePtr decodedFrame_;  // scratch for the decoder's frames
  PacketPtr encodedPkt_;   // scratch for the encoder's packets
  std::deque<PacketPtr> finished_;
  bool silenceForRejected_ = false;
  // In the encoder's time base, one tick per sample:
  int64_t startPts_ = AV_NOPTS_VALUE;  // the first packet's time
  int64_t samplesEncoded_ = 0;
  // In the output stream's time base:
  int64_t lastPacketDts_ = AV_NOPTS_VALUE;
  int64_t encodedDuration_ = 0;
  DecodeErrorRun decodeErrors_;
};

}  // namespace mpg
