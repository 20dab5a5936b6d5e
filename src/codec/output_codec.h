// Which codec a transcode writes for each stream: the input's own when the output
// container holds it (and, for a re-encode, the build has an encoder for it),
// otherwise the container's usual codec, as the ffmpeg tool chooses: AAC and H.264
// for MP4, AMR-NB and H.263 for 3GP, MP3 and MPEG-4 Part 2 for AVI, Opus and VP9
// for WebM, MP2 and MPEG-2 for MPEG-TS.
#pragma once

#include "core/av_ptr.h"

namespace mpg {

// What a muxer's own codec list says of a codec.
enum class MuxerAnswer { Yes, No, Unknown };

// The one reading of fmt's codec list (avformat_query_codec) at the given
// strictness: Unknown when the muxer keeps no list (MPEG-TS, MPEG-PS), and only
// a write could tell. MuxerTakesStream goes on from here with the muxer's set-up.
MuxerAnswer MuxerListsCodec(const AVOutputFormat *fmt, AVCodecID id,
                            int compliance = FF_COMPLIANCE_NORMAL) noexcept;

// True when fmt's muxer accepts a stream with inStream's codec parameters as they
// stand: its tag table lists the codec (avformat_query_codec) and its set-up takes
// the stream (some tags are listed but refused outside experimental mode, FLAC in
// MP4 for one; MPEG-PS checks its audio codecs only in its header). The muxer's
// set-up and header are tried on a throwaway context that writes nowhere.
bool MuxerTakesStream(const AVOutputFormat *fmt, const AVStream *inStream) noexcept;

// True when fmt's set-up and header take the stream, whether or not its tag table
// lists the codec: Matroska keeps any audio codec that has a WAV tag (WMA, ADPCM,
// AMR, Speex) in its A_MS/ACM form, which its table does not name.
bool MuxerWritesStream(const AVOutputFormat *fmt, const AVStream *inStream) noexcept;

// True when the build has an encoder for id that opens without experimental mode.
bool HasUsableEncoder(AVCodecID id) noexcept;

// The codec written for inStream into fmt when the caller asks for none: the
// stream's own codec when fmt takes it and, with reencode, an encoder exists;
// otherwise fmt's default codec of the stream's type. AV_CODEC_ID_NONE when the
// muxer has no default of that type (an audio-only muxer asked about video).
AVCodecID ChooseOutputCodec(const AVOutputFormat *fmt, const AVStream *inStream, bool reencode) noexcept;

}  // namespace mpg
