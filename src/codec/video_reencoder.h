// The video re-encode engine: one input video stream decoded, each picture
// converted to the encoder's size and pixel format when they differ, the pictures
// whose timestamps move forward (at the output frame rate when it is lowered, and
// within the kept range when one is asked) encoded, and the encoded packets handed
// back for the caller's output. The engine owns its decoder, scaler, encoder and
// their clocks; the caller feeds it packets and writes what it gives back.
#pragma once

#include <cstdint>
#include <deque>

#include "codec/picture_scaler.h"
#include "core/av_ptr.h"
#include "core/decoder.h"
#include "codec/finished_packets.h"
#include "core/output_file.h"
#include "core/status.h"

namespace mpg {

// How long an encoder may take for a picture.
enum class EncodeSpeed {
  Default,  // the encoder's own defaults, as the ffmpeg tool leaves them
  Fast,     // settings that take a second or two for a second of HD video
};

// What a pipeline asks of the video encoder, in codec terms.
struct VideoReencodeRequest {
  // AV_CODEC_ID_NONE: the input's codec when the output container holds it and an
  // encoder exists, else the container's usual video codec (ChooseOutputCodec).
  AVCodecID codecId = AV_CODEC_ID_NONE;
  uint32_t codecTag = 0;  // 0: the muxer picks its own
  // Output size; one of them 0 follows the other at the input's aspect, both 0 keep
  // the input's. H.263 is moved to the nearest of its five picture sizes whatever is
  // asked; the size is then rounded to the pixel format's chroma steps.
  int32_t width = 0;
  int32_t height = 0;
  int64_t bitRate = 0;  // bit/s; 0: the rate the input stream states
  // Constant quality instead of a bit rate, on the scale of x264's CRF (0 best, 51
  // worst): the encoder's own "crf" where it has one (x264, x265, libvpx, AV1),
  // else a fixed quantiser scaled to FFmpeg's 1-31. 0: the bit rate rules.
  int32_t quality = 0;
  // The output frame rate when it is lower than the input's: of the pictures that
  // fall on one frame time of it only the first is encoded. {0, 0}: the input's.
  AVRational frameRate = {0, 0};
  EncodeSpeed speed = EncodeSpeed::Default;
  // The kept range [startTs, endTs) in the input stream's time base, startTs being
  // the output's time 0. AV_NOPTS_VALUE: no bound on that side. With a bound, a
  // picture the decoder gives no time is left out; without, it follows the last.
  int64_t startTs = AV_NOPTS_VALUE;
  int64_t endTs = AV_NOPTS_VALUE;
  // Pictures that go between packets copied from the input (an edit's edges): no
  // B-frames, so each packet's dts is its pts and never runs ahead of the copied
  // ones', H.264 parameter sets numbered 1, beside the copied stream's 0, so
  // both sets can stand in one stream, and no hidden VP9 pictures.
  bool betweenCopies = false;
};

// One stream's re-encode. Open it once; then SendPacket for each input packet and
// Finish at the end, taking the finished packets after each call (TakePacket or
// WriteFinishedPackets).
class VideoReencoder {
 public:
  VideoReencoder() noexcept = default;
  VideoReencoder(const VideoReencoder &) = delete;
  VideoReencoder &operator=(const VideoReencoder &) = delete;

  // Opens the decoder of inStream (borrowed; it must outlive the engine) and the
  // encoder req asks for, and adds the encoder's stream to out (borrowed; not yet
  // written). The stream gets the opened encoder's parameters and time base; the
  // caller may add the input's hints (length, frame rates, disposition) before the
  // header. Encoders with a global header in MP4 or Matroska get the flag.
  // kNoCodec when a decoder or encoder is missing; NoMemory; the FFmpeg error of a
  // parameter copy or of the open.
  Status Open(const VideoReencodeRequest &req, const AVStream *inStream, AVFormatContext *out) noexcept;

  // Decodes pkt (timestamps in the input stream's time base) and encodes the
  // pictures kept. A packet the decoder rejects is skipped under core/decoder.h's
  // rule. Encoder errors are forgiven while the input stream's clock is finer than
  // the output stream's, where pictures may meet on one output tick. Ok; the
  // scaler's error when no converter can be made; NoMemory; else the decoder's or
  // encoder's error.
  Status SendPacket(const AVPacket *pkt) noexcept;
  // Drains the decoder (unless a picture past the range's end came out already),
  // then the encoder. SendPacket's codes.
  Status Finish() noexcept;

  // Moves the next finished packet into pkt (which must be empty): stream index of
  // the output stream, timestamps in its time base, and as duration the input
  // durations that came in since the last one. False when none is waiting.
  bool TakePacket(AVPacket *pkt) noexcept;

  AVStream *OutStream() const noexcept { return outStream_; }
  const AVCodecContext *Encoder() const noexcept { return encCtx_.get(); }
  // True once a picture at or past the end of the kept range came out of the decoder.
  bool PastEnd() const noexcept { return pastEnd_; }
  int64_t PicturesEncoded() const noexcept { return picturesEncoded_; }
  int64_t PacketsProduced() const noexcept { return packetsProduced_; }

 private:
  Status OpenEncoder(const VideoReencodeRequest &req, AVFormatContext *out) noexcept;
  Status OnPicture(AVFrame *decoded) noexcept;
  bool KeepPicture(int64_t pts) noexcept;
  Status ConvertPicture(const AVFrame *decoded, AVFrame *&picture) noexcept;
  Status Encode(const AVFrame *picture) noexcept;
  Status QueuePacket(AVPacket *pkt) noexcept;
  bool ForgivesEncodeErrors() const noexcept;

  const AVStream *inStream_ = nullptr;
  AVStream *outStream_ = nullptr;
  CodecContextPtr decCtx_;
  CodecContextPtr encCtx_;
  FramePtr decodedFrame_;  // scratch for the decoder's pictures
  FramePtr scaledFrame_;   // pictures at the encoder's size and format
  PictureScaler scaler_{SWS_BICUBIC, 0};  // to the encoder's size and format
  PacketPtr encodedPkt_;  // scratch for the encoder's packets
  std::deque<PacketPtr> finished_;
  // The kept range, input time base.
  int64_t startTs_ = AV_NOPTS_VALUE;
  int64_t endTs_ = AV_NOPTS_VALUE;
  // Pictures and encoded packets count in the encoder's time base. frameTimeBase_
  // is the output frame time when the frame rate is lowered ({0, 0} otherwise).
  AVRational frameTimeBase_ = {0, 0};
  int64_t lastEncodedPts_ = AV_NOPTS_VALUE;  // last picture sent to the encoder
  int64_t lastFrameTick_ = AV_NOPTS_VALUE;   // in frameTimeBase_: the last picture kept
  int64_t lastInputDuration_ = 0;            // last input packet's duration
  int64_t pendingDuration_ = 0;              // input durations since the last packet out
  int64_t picturesEncoded_ = 0;
  int64_t packetsProduced_ = 0;
  bool pastEnd_ = false;
  DecodeErrorRun decodeErrors_;
};

// A video bit rate (below 1000: kbit/s) up to the next of the encoders' steps
// from 24000 to 12000000 bit/s; above 10000000 gives 12000000.
int32_t SnapVideoBitRate(int32_t request) noexcept;

// Allocates frame with a buffer for a picture of the given format and size
// (alignment 1). NoMemory when the frame or a picture of that size cannot be
// allocated, else the error of av_frame_get_buffer; frame is empty on failure.
Status AllocVideoFrame(AVPixelFormat pixFmt, int width, int height, FramePtr &frame) noexcept;

}  // namespace mpg
