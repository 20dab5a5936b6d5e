// Set-up shared by the pipelines that re-encode an audio stream of an input they
// have opened: open the stream's decoder and add an encoder stream for it to an
// output context the pipeline has already made. The operations hand owners out
// through reference parameters; what they leave there stays the caller's on failure
// too.
#pragma once

#include <cstdint>

#include "core/av_ptr.h"
#include "core/status.h"

namespace mpg {

// A sample format the encoder takes: wanted when the encoder lists it (or lists
// none), else the first it lists; the resampler converts between the two. Without
// this 16-bit sources (FLAC, PCM WAV) could not open the MP3 and AAC encoders.
AVSampleFormat ChooseEncoderSampleFormat(const AVCodec *encoder, AVSampleFormat wanted) noexcept;

// The bit rate encoder takes when none is set: the default of a fresh context for
// it, as the ffmpeg tool leaves it (AAC and MP2 choose their own by channels and
// rate). 0 when no context can be made.
int64_t EncoderDefaultBitRate(const AVCodec *encoder) noexcept;

// Moves the unopened encoder context's sample rate and channel layout to ones the
// encoder lists, when it lists any and not the current one: the lowest listed
// rate at or above the current one (else the highest), and stereo (else the
// first listed layout) for a channel count it does not take. The FFmpeg error of
// a layout copy.
int FitEncoderRateAndChannels(const AVCodec *encoder, AVCodecContext *encCtx) noexcept;

// Chooses in's audio stream to re-encode (FindBestAudioStream) and opens its
// decoder (OpenDecoder). AudioStreamNotFound; then OpenDecoder's codes.
Status OpenBestAudioDecoder(AVFormatContext *in, int &streamIndex, CodecContextPtr &decCtx) noexcept;

// Adds to out a stream for the encoder of codecId (AV_CODEC_ID_NONE: inStream's
// codec) and makes that encoder's context, not opened, with the decoder's settings:
// its rate, time base, bit rate, the default layout of its channel count, a sample
// format the encoder takes (ChooseEncoderSampleFormat), and, for the same codec,
// its tag, frame size, profile, padding and block_align. The stream takes
// inStream's length and frame-rate hint; its parameters describe the unopened
// encoder with codec_tag 0 until PublishEncoderParameters.
// kNoCodec; NoMemory; the FFmpeg error of the parameter copy.
Status AddAudioEncoderStream(AVFormatContext *out, const AVStream *inStream, const AVCodecContext *decCtx,
                             AVCodecID codecId, AVStream *&outStream, CodecContextPtr &encCtx) noexcept;

// Gives outStream the parameters of the opened encoder (channels, extradata, frame
// size as the encoder settled them) with codec_tag 0, so the muxer's header
// describes what the encoder writes. Call it after avcodec_open2 and before
// avformat_write_header. The FFmpeg error of the copy.
Status PublishEncoderParameters(AVStream *outStream, const AVCodecContext *encCtx) noexcept;

}  // namespace mpg
