// The audio path of the MP3 conversion, the merge with audio re-encode and the
// transcode: choose the input's audio stream, read and decode its packets, convert
// the samples to the encoder's format, rate and layout, queue them in a FIFO, encode
// frames of the encoder's size and write the packets with increasing timestamps.
// Every operation borrows the FFmpeg objects it is given; the caller's job owns
// them and frees them on every path.
#pragma once

#include <cstdint>

#include "core/av_ptr.h"
#include "core/decoder.h"
#include "core/output_file.h"
#include "core/status.h"

namespace mpg {

// One job's audio streams and the timestamps the path has handed out. The stream
// handles are borrowed from the format contexts.
struct AudioTiming {
  int inIndex = -1;  // input stream whose packets are decoded
  AVStream *inStream = nullptr;
  AVStream *outStream = nullptr;
  // Set once an input audio packet has been read and moved to the output time base;
  // until then encoded packets are rescaled as they are written.
  bool ptsRescaled = false;
  // In the output audio stream's time base (AV_NOPTS_VALUE: none yet):
  int64_t lastFramePts = AV_NOPTS_VALUE;   // last frame sent to the encoder
  int64_t nextFramePts = AV_NOPTS_VALUE;   // last input packet's pts; the next frame's pts
  int64_t lastPacketDts = AV_NOPTS_VALUE;  // last written audio packet
  int64_t encodedDuration = 0;             // sum of the written audio packets' durations
  // The clock of the audio encoder's timestamps when it is not the output audio
  // stream's (muxers that keep their own: 1/1000 in Matroska, 1/90000 in
  // MPEG-TS). Frames are then stamped in it, and encoded packets move from it to
  // the output stream's time base as they are written. {0, 0}: the two agree.
  AVRational encoderTimeBase = {0, 0};
  // The decoder's rejections in a row; the rule of core/decoder.h.
  DecodeErrorRun decodeErrors;
};

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

// Decodes pkt (null: the end of input, which drains the decoder and the resampler's
// delayed samples), converts every decoded frame with swr and appends the samples
// to fifo, finite and within full scale whatever the decoder gave (the one place
// that guards every audio encoder against a damaged stream). A packet the decoder rejects is skipped under timing.decodeErrors'
// rule; rejected tells whether this one was. InvalidData for a frame whose format,
// rate or channel count differs from what the resampler was made for; NoMemory;
// or the decoder's error at the end of too long a run, or the resampler's error.
Status DecodeAudioPacket(AVAudioFifo *fifo, AVCodecContext *decCtx, const AVCodecContext *encCtx, SwrContext *swr,
                         const AVPacket *pkt, AudioTiming &timing, bool &rejected) noexcept;

// Appends samples of silence in the encoder's format and channel count to fifo:
// the time of a skipped packet, kept so later audio stays where it belongs.
// Ok (also for samples <= 0) or NoMemory.
Status QueueSilence(AVAudioFifo *fifo, const AVCodecContext *encCtx, int samples) noexcept;

// Reads the next packet of timing.inIndex from in (ReadPacket's rule: a cut-off or
// damaged tail ends the input), moves it to the output time base and decodes it
// into the FIFO. At the end of input it drains the decoder and the resampler into
// the FIFO and sets finished. Ok or the first error.
Status ReadDecodeConvertStore(AVAudioFifo *fifo, AVFormatContext *in, AVCodecContext *decCtx,
                              const AVCodecContext *encCtx, SwrContext *swr, bool &finished,
                              AudioTiming &timing) noexcept;

// Encodes frame and writes every packet the encoder returns to out; frame null
// drains the encoder and writes everything it still holds. A frame gets the pts of
// the last input packet, raised to one above the last frame's when it would not
// increase. Written packets go to timing.outStream, their dts kept increasing by
// KeepDtsIncreasing; their durations add up in timing.encodedDuration.
// Ok, or the encoder's or the writer's error.
Status EncodeAudioFrame(AVFrame *frame, OutputFile &out, AVCodecContext *encCtx, AudioTiming &timing) noexcept;

// Takes one frame of AudioFrameSamples (fewer when the FIFO holds fewer) from the
// FIFO and encodes and writes it; a short last frame is padded with silence for
// encoders that take only whole frames. Ok when the FIFO is empty; NoMemory; or
// EncodeAudioFrame's error.
Status LoadEncodeWrite(AVAudioFifo *fifo, OutputFile &out, AVCodecContext *encCtx, AudioTiming &timing) noexcept;

}  // namespace mpg
