// The sample path under the audio re-encode engine (codec/audio_reencoder.h):
// decode a packet, convert the samples to the encoder's format, rate and layout,
// queue them in a FIFO and take frames of the encoder's size from it; and the MPEG
// audio value tables. Every operation borrows the FFmpeg objects it is given.
#pragma once

#include <cstdint>

#include "core/av_ptr.h"
#include "core/decoder.h"
#include "core/status.h"

namespace mpg {

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
// that guards every audio encoder against a damaged stream). A packet the decoder
// rejects is skipped under errors' rule; rejected tells whether this one was. InvalidData for a frame whose format,
// rate or channel count differs from what the resampler was made for; NoMemory;
// or the decoder's error at the end of too long a run, or the resampler's error.
Status DecodeAudioPacket(AVAudioFifo *fifo, AVCodecContext *decCtx, const AVCodecContext *encCtx, SwrContext *swr,
                         const AVPacket *pkt, DecodeErrorRun &errors, bool &rejected) noexcept;

// Appends samples of silence in the encoder's format and channel count to fifo:
// the time of a skipped packet, kept so later audio stays where it belongs.
// Ok (also for samples <= 0) or NoMemory.
Status QueueSilence(AVAudioFifo *fifo, const AVCodecContext *encCtx, int samples) noexcept;

// Takes one frame of AudioFrameSamples (fewer when the FIFO holds fewer) from the
// FIFO into loaded, in the encoder's format; a short last frame is padded with
// silence for encoders that take only whole frames. loaded stays empty when the
// FIFO is. Ok; NoMemory; the FFmpeg error of a buffer.
Status LoadQueuedFrame(AVAudioFifo *fifo, const AVCodecContext *encCtx, FramePtr &loaded) noexcept;

}  // namespace mpg
