// The video re-encode path of the transcode: decode a packet, convert each picture
// to the encoder's size and pixel format when they differ, keep only pictures
// whose timestamp moves forward (at the output frame rate when the transcode
// lowers it), encode, and write the packets to the output video stream. The job
// owns the objects below; the operations borrow the codec and format contexts.
#pragma once

#include <cstdint>

#include "core/av_ptr.h"
#include "core/status.h"
#include "core/decoder.h"
#include "core/output_file.h"

namespace mpg {

// The video path's objects and marks, one per job.
struct VideoReencodeState {
  const AVStream *inStream = nullptr;  // borrowed from the input
  AVStream *outStream = nullptr;       // borrowed from the output
  FramePtr decodedFrame;  // scratch for the decoder's pictures
  FramePtr scaledFrame;   // pictures at the encoder's size and format
  SwsPtr sws;             // made on the first picture that needs converting
  // The picture geometry sws was made for; another one remakes it.
  int swsWidth = 0;
  int swsHeight = 0;
  int swsFormat = AV_PIX_FMT_NONE;
  PacketPtr encodedPkt;   // scratch for the encoder's packets
  // Decoded pictures and encoded packets count in the encoder's time base.
  // frameTimeBase is the output frame time when the transcode lowers the frame
  // rate ({0, 0} otherwise): of the pictures falling on one tick of it, only the
  // first is encoded.
  AVRational frameTimeBase = {0, 0};
  int64_t lastEncodedPts = AV_NOPTS_VALUE;  // last picture sent to the encoder
  int64_t lastFrameTick = AV_NOPTS_VALUE;   // in frameTimeBase: the last picture kept
  int64_t lastInputDuration = 0;            // last input packet's duration
  int64_t pendingDuration = 0;              // input durations since the last write
  int64_t writtenPackets = 0;               // encoded packets handed to the muxer
  DecodeErrorRun decodeErrors;              // the decoder's rejections in a row
};

// Allocates frame with a buffer for a picture of the given format and size
// (alignment 1). NoMemory when the frame or a picture of that size cannot be
// allocated, else the error of av_frame_get_buffer; frame is
// empty on failure.
Status AllocVideoFrame(AVPixelFormat pixFmt, int width, int height, FramePtr &frame) noexcept;

// Makes the scratch frames and packet of video. NoMemory.
Status PrepareVideoReencode(VideoReencodeState &video) noexcept;

// Decodes pkt (timestamps already in the encoder's time base; null at the end of
// input, which drains the decoder and then the encoder), encodes the pictures
// whose pts increases and writes the encoder's packets through out: stream
// video.outStream, timestamps moved from the encoder's time base to the output
// stream's, and as duration the input durations that accumulated since the last
// written packet (the last input duration once nothing is pending). A packet the
// decoder rejects is skipped under core/decoder.h's rule. Encoder errors are
// forgiven while the input stream's clock is finer than the output stream's, where
// pictures may meet on one output tick. Ok; the scaler's error when no converter can be
// made; NoMemory; else the decoder's, encoder's or writer's error.
Status ReencodeVideoPacket(VideoReencodeState &video, OutputFile &out, AVCodecContext *decCtx,
                           AVCodecContext *encCtx, const AVPacket *pkt) noexcept;

}  // namespace mpg
