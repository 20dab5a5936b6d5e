// Set-up shared by the pipelines that re-encode a stream of an input they have
// opened: open the stream's decoder and add an encoder stream for it to an output
// context the pipeline has already made; and the value tables of the video
// encoder. The operations hand owners out through reference parameters; what they
// leave there stays the caller's on failure too.
#pragma once

#include <cstdint>

#include "core/av_ptr.h"
#include "core/status.h"

namespace mpg {

// ---- Audio ------------------------------------------------------------------------

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

// The frame rate a video encoder can count in: wanted (25 when unknown), moved to
// the nearest rate the encoder lists when it lists any (MPEG-1 and MPEG-2 refuse
// every other clock).
AVRational EncoderFrameRate(const AVCodec *encoder, AVRational wanted) noexcept;
// The clock a video encoder counts inStream's pictures in: one tick per frame at the
// rate the ffmpeg tool takes for the stream (av_guess_frame_rate: its base rate, or
// its average where the base rate is only the container's clock, as with FLV's
// milliseconds), moved by EncoderFrameRate, in at most 16 bits. Counted in the
// container's clock instead, the pictures of a variable-rate stream keep to no frame
// rate the output states, and a player that goes by it shows two on one frame time.
AVRational EncoderFrameClock(const AVCodec *encoder, const AVStream *inStream) noexcept;
// Rounds encCtx's width and height to the steps of its pixel format's chroma
// subsampling (4:2:0 and 4:2:2 need even sizes): to the nearest step, at least one
// step, as the ffmpeg tool's scaler rounds a derived size. Set pix_fmt first.
void FitSizeToPixelFormat(AVCodecContext *encCtx) noexcept;

// ---- Video ------------------------------------------------------------------------

// What a transcode asks of the video encoder. SetUpVideoEncoder fills in width and
// height when it derives or forces the output size.
struct VideoEncodeRequest {
  int32_t videoCodecChoice = 0;  // 0 the input's codec, 1-3 MPEG-4 (XVID, DX50, DIVX), 4 H.263, 5 H.264, 6 MPEG-4
  int32_t outputFormat = 0;      // OutputFormatId of the output; 2 (AVI) tags choice 6 "FMP4"
  int32_t width = 0;
  int32_t height = 0;
  int32_t scalePercent = 0;         // share of the input size in ProgressScale units; 0 none
  int32_t videoBitRateRequest = 0;  // bit/s, or kbit/s below 1000; 0 keeps the input's
  // Frames per second the encoder's rate control plans for when the output rate
  // differs from the input's; {0, 0}: the input stream's average frame rate.
  AVRational frameRate = {0, 0};
};

// The size H.263 accepts for an input of width x height: one of 128x96, 176x144,
// 352x288, 704x576 and 1408x1152.
struct VideoSize {
  int width;
  int height;
};
VideoSize H263Size(int width, int height) noexcept;

// Opens and configures the encoder for inStream as req asks and adds its output
// stream to out. The encoder keeps the decoder's pixel format when it takes it,
// else gets the first format it lists (the caller converts the pictures); it
// plans its bit budget for req.frameRate (else the input's average frame rate;
// MPEG-4 Part 2 and H.263 then count in its frame time) and uses FFmpeg's
// automatic thread count. BadParameter for a videoCodecChoice
// outside 0 to 6; kNoCodec; NoMemory when the context or stream cannot
// be made; the FFmpeg error of a parameter copy or of the open.
Status SetUpVideoEncoder(VideoEncodeRequest &req, AVFormatContext *out, const AVCodecContext *decCtx,
                         const AVStream *inStream, AVStream *&outStream, CodecContextPtr &encCtx) noexcept;

// Opens a decoder for inStream (OpenDecoder) and sets up the encoder and output
// stream with SetUpVideoEncoder; the output stream takes the input stream's
// timing hints and the encoder's time base. OpenDecoder's codes, then those of
// SetUpVideoEncoder.
Status OpenVideoReencode(VideoEncodeRequest &req, AVFormatContext *out, const AVStream *inStream,
                         AVStream *&outStream, CodecContextPtr &decCtx, CodecContextPtr &encCtx) noexcept;

// A requested video bit rate (below 1000: kbit/s) up to the next of the encoder's
// steps from 24000 to 12000000 bit/s; above 10000000 gives 12000000.
int32_t SnapVideoBitRate(int32_t request) noexcept;

// The output time base for a frame duration num/den (frame rate den/num): the
// first common rate (12, 15, 20, 23.976, 25, 29.97, 30, 50, 59.94) whose upper
// bound the rate does not exceed, else 60. A num of 0 or below gives 1/60.
AVRational SnapFrameRate(int32_t num, int32_t den) noexcept;

}  // namespace mpg
