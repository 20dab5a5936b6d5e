// The audio path of the MP3 conversion, the merge with audio re-encode and the
// transcode: choose the input's audio stream, read and decode its packets, convert
// the samples to the encoder's format, rate and layout, queue them in a FIFO, encode
// frames of the encoder's size and write the packets with strictly increasing
// timestamps. Every operation borrows the FFmpeg objects it is given; the caller's
// job owns them and frees them on every path.
#pragma once

#include <cstdint>

#include "core/av_ptr.h"
#include "core/status.h"

namespace mpg {

// The StreamTimingState's mark for "no timestamp yet"; not AV_NOPTS_VALUE.
inline constexpr int64_t kNoTimestamp = -2;

// One job's stream indices, stream handles and last timestamps, shared by the audio
// path, the video path and the loops that drive them. The stream handles are
// borrowed from the format contexts.
struct StreamTimingState {
  // Set once an input audio packet has been read and moved to the output time base;
  // until then encoded packets are rescaled as they are written.
  bool ptsRescaled = false;
  int inAudioIndex = 0;   // input stream whose packets are decoded
  int outAudioIndex = 0;  // stream index of every written audio packet
  int outVideoIndex = 0;  // stream index of every written video packet
  // In the output audio stream's time base:
  int64_t lastFramePts = kNoTimestamp;   // last frame sent to the encoder
  int64_t nextFramePts = kNoTimestamp;   // last input packet's pts; the next frame's pts
  int64_t lastPacketPts = kNoTimestamp;  // last written audio packet
  int64_t lastPacketDts = kNoTimestamp;
  int64_t encodedDuration = 0;  // sum of the written audio packets' durations
  // The clock of the audio encoder's timestamps when it is not the output audio
  // stream's (muxers that keep their own: 1/1000 in Matroska, 1/90000 in
  // MPEG-TS). Frames are then stamped in it, and encoded packets move from it to
  // the output stream's time base as they are written. {0, 0}: the two agree.
  AVRational encoderTimeBase = {0, 0};
  // Video path bookkeeping (output video time base unless noted).
  int64_t lastVideoPts = kNoTimestamp;
  int64_t lastVideoDuration = 0;     // last input video packet's duration
  int64_t pendingVideoDuration = 0;  // input video durations since the last write
  AVStream *inAudioStream = nullptr;
  AVStream *inVideoStream = nullptr;
  AVStream *outAudioStream = nullptr;
  AVStream *outVideoStream = nullptr;
};

// Puts every field back to its initial value.
void InitStreamTimingState(StreamTimingState &state) noexcept;

// The audio stream with the highest declared bit rate, the earliest among equal
// non-zero rates; while no stream declares a rate each later audio stream wins.
// -1 for a null context or one without audio.
int FindBestAudioStream(const AVFormatContext *ctx) noexcept;

// Up to the next MPEG audio sample rate (8000 ... 48000 Hz); exact rates pass and
// anything above 44100 Hz gives 48000.
int32_t SnapMp3SampleRate(int32_t rate) noexcept;
// Up to the next of the MP3 bit rates 8000 ... 320000 bit/s (no 40000 step);
// anything above 256000 gives 320000.
int32_t SnapMp3BitRate(int32_t bitRate) noexcept;

// Samples per frame the encoder takes: its frame_size, or 1024 for encoders that
// take any number (frame_size 0, as PCM encoders report).
int AudioFrameSamples(const AVCodecContext *encCtx) noexcept;

// Creates the resampler from the decoder's sample format, rate and default layout
// of its channel count to the encoder's, and the FIFO of encoder-format samples.
// Call it once the encoder has its final format, rate and channel count.
// NoMemory, or swr_init's error; swr and fifo are empty on failure.
Status OpenAudioResampler(const AVCodecContext *decCtx, const AVCodecContext *encCtx, SwrPtr &swr,
                          AudioFifoPtr &fifo) noexcept;

// Moves pkt's timestamps from the input audio stream's time base to the output
// audio stream's (pos becomes -1) and keeps its pts as the next frame's pts.
void RescalePacketToOutput(AVPacket *pkt, StreamTimingState &state) noexcept;

// Reads the next packet of state.inAudioIndex into pkt, skipping other streams'
// packets, and moves it to the output time base. At the end of input finished is
// set and pkt is left blank. Ok, or the read error.
Status ReadAudioPacket(AVFormatContext *in, AVPacket *pkt, bool &finished, StreamTimingState &state) noexcept;

// Decodes pkt (null: the end of input, which drains the decoder and the resampler's
// delayed samples), converts every decoded frame with swr and appends the samples
// to fifo. InvalidData for a frame whose format, rate or channel count differs from
// what the resampler was made for; Exit for a short FIFO write; NoMemory; or the
// decoder's or resampler's error.
Status DecodeAudioPacket(AVAudioFifo *fifo, AVCodecContext *decCtx, const AVCodecContext *encCtx, SwrContext *swr,
                         const AVPacket *pkt) noexcept;

// Audio packets in a row a job lets the decoder refuse: a damaged frame (a bad
// CRC, junk between MP3 frames) is skipped, as the ffmpeg tool skips it, and so is
// a damaged stretch of about a second (50 frames of AMR or AAC are 1 to 1.2 s),
// but a longer run means the stream is not audio this decoder can read. The one
// rule of the MP3 conversion, the transcode and the merge with audio re-encode.
inline constexpr int kMaxUndecodableAudioPacketsInARow = 50;

// Judges the result of decoding one audio packet under that bound: the decoder's
// refusal of the packet (InvalidData, or FFmpeg's "not yet implemented" for a
// frame using a feature it lacks) is skipped as Ok and lengthens the run in
// undecodableInARow, until the run passes the bound, when the refusal is
// returned; Ok ends the run; any other status is returned unchanged.
Status SkipUndecodableAudio(Status st, int &undecodableInARow) noexcept;

// Appends samples of silence in the encoder's format and channel count to fifo:
// the time of a skipped packet, kept so later audio stays where it belongs.
// Ok (also for samples <= 0), NoMemory, or Exit for a short FIFO write.
Status QueueSilence(AVAudioFifo *fifo, const AVCodecContext *encCtx, int samples) noexcept;

// ReadAudioPacket then DecodeAudioPacket: one input packet's samples into the FIFO.
// At the end of input it drains the decoder and the resampler into the FIFO and
// sets finished; later calls only set finished again. Ok or the first error.
Status ReadDecodeConvertStore(AVAudioFifo *fifo, AVFormatContext *in, AVCodecContext *decCtx,
                              const AVCodecContext *encCtx, SwrContext *swr, bool &finished,
                              StreamTimingState &state) noexcept;

// Encodes frame and writes every packet the encoder returns to out; frame null
// drains the encoder and writes everything it still holds. A frame gets the pts of
// the last input packet, raised to one above the last frame's when it would not
// increase. Written packets go to state.outAudioIndex with pts and dts each raised
// to one above the last written when they would not increase; their durations add
// up in state.encodedDuration. dataWritten tells whether a packet was written.
// Ok, or the encoder's or the writer's error.
Status EncodeAudioFrame(AVFrame *frame, AVFormatContext *out, AVCodecContext *encCtx, bool &dataWritten,
                        StreamTimingState &state) noexcept;

// Takes one frame of AudioFrameSamples (fewer when the FIFO holds fewer) from the
// FIFO and encodes and writes it; a short last frame is padded with silence for
// encoders that take only whole frames. Ok when the FIFO is empty; Exit when the FIFO
// gives fewer samples than it holds; NoMemory; or EncodeAudioFrame's error.
Status LoadEncodeWrite(AVAudioFifo *fifo, AVFormatContext *out, AVCodecContext *encCtx,
                       StreamTimingState &state) noexcept;

}  // namespace mpg
