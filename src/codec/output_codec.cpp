#include "codec/output_codec.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace mpg {

namespace {

constexpr int kTrialBufferSize = 4096;

// The trial output's bytes go nowhere.
int DiscardBytes(void *, uint8_t *, int size) noexcept { return size; }
// Seekable, so muxers that rewrite their header at the end (MP4) set up as for a
// file; nothing is ever read back.
int64_t SeekNowhere(void *, int64_t, int whence) noexcept { return whence == AVSEEK_SIZE ? -1 : 0; }

// The muxer's own checks of every stream, some made when it sets up, others
// (MPEG-PS) when it writes its header: both run here into a sink, and the
// trailer lets the muxer free what it keeps until then.
bool MuxerInitTakes(const AVOutputFormat *fmt, const AVStream *inStream) noexcept {
  auto *buffer = static_cast<unsigned char *>(av_malloc(kTrialBufferSize));
  if (!buffer) return false;
  IoContextPtr io(avio_alloc_context(buffer, kTrialBufferSize, 1, nullptr, nullptr, DiscardBytes, SeekNowhere));
  if (!io) {
    av_free(buffer);
    return false;
  }
  io->seekable = AVIO_SEEKABLE_NORMAL;
  AVFormatContext *raw = nullptr;
  if (avformat_alloc_output_context2(&raw, fmt, nullptr, nullptr) < 0 || !raw) return false;
  // The context borrows io; it is detached again before the context is freed.
  raw->pb = io.get();
  AVStream *st = avformat_new_stream(raw, nullptr);
  bool takes = st && avcodec_parameters_copy(st->codecpar, inStream->codecpar) >= 0;
  if (takes) {
    // The output container chooses its own tag for the codec.
    st->codecpar->codec_tag = 0;
    st->time_base = inStream->time_base;
    takes = avformat_write_header(raw, nullptr) >= 0;
    if (takes) av_write_trailer(raw);
  }
  raw->pb = nullptr;
  avformat_free_context(raw);
  return takes;
}

// MPEG-TS and MPEG-PS keep no tag table and write any codec, but a codec they
// have no stream type for becomes private data that no reader decodes (FLAC or
// AMR in TS: "bin_data"), and H.264 in PS reads back as nothing. These are the
// codecs their demuxers recognise.
bool MpegStreamTypeKnown(const AVOutputFormat *fmt, AVCodecID id) noexcept {
  static constexpr AVCodecID kTs[] = {AV_CODEC_ID_MPEG1VIDEO, AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_MPEG4,
                                      AV_CODEC_ID_H264,       AV_CODEC_ID_HEVC,       AV_CODEC_ID_VC1,
                                      AV_CODEC_ID_CAVS,       AV_CODEC_ID_DIRAC,      AV_CODEC_ID_MP1,
                                      AV_CODEC_ID_MP2,        AV_CODEC_ID_MP3,        AV_CODEC_ID_AAC,
                                      AV_CODEC_ID_AAC_LATM,   AV_CODEC_ID_AC3,        AV_CODEC_ID_EAC3,
                                      AV_CODEC_ID_DTS,        AV_CODEC_ID_TRUEHD,     AV_CODEC_ID_OPUS,
                                      AV_CODEC_ID_S302M};
  static constexpr AVCodecID kPs[] = {AV_CODEC_ID_MPEG1VIDEO, AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_MP1,
                                      AV_CODEC_ID_MP2,        AV_CODEC_ID_MP3,        AV_CODEC_ID_AC3,
                                      AV_CODEC_ID_DTS,        AV_CODEC_ID_PCM_S16BE,  AV_CODEC_ID_PCM_DVD};
  const bool ts = std::strcmp(fmt->name, "mpegts") == 0;
  if (!ts && std::strcmp(fmt->name, "mpeg") != 0) return true;
  const AVCodecID *begin = ts ? std::begin(kTs) : std::begin(kPs);
  const AVCodecID *end = ts ? std::end(kTs) : std::end(kPs);
  return std::find(begin, end, id) != end;
}

}  // namespace

MuxerAnswer MuxerListsCodec(const AVOutputFormat *fmt, AVCodecID id, int compliance) noexcept {
  if (!fmt) return MuxerAnswer::No;
  // 1: the tag table lists it; 0: it does not; below 0 (AVERROR_PATCHWELCOME): the
  // muxer keeps no table.
  const int listed = avformat_query_codec(fmt, id, compliance);
  if (listed < 0) return MuxerAnswer::Unknown;
  return listed > 0 ? MuxerAnswer::Yes : MuxerAnswer::No;
}

bool MuxerTakesStream(const AVOutputFormat *fmt, const AVStream *inStream) noexcept {
  if (!fmt || !inStream || !inStream->codecpar) return false;
  const AVCodecID id = inStream->codecpar->codec_id;
  const MuxerAnswer listed = MuxerListsCodec(fmt, id);
  if (listed == MuxerAnswer::No || (listed == MuxerAnswer::Unknown && !MpegStreamTypeKnown(fmt, id))) return false;
  // Some listed tags are refused outside experimental mode: only the set-up tells.
  return MuxerInitTakes(fmt, inStream);
}

bool MuxerWritesStream(const AVOutputFormat *fmt, const AVStream *inStream) noexcept {
  return fmt && inStream && inStream->codecpar && MuxerInitTakes(fmt, inStream);
}

bool HasUsableEncoder(AVCodecID id) noexcept {
  const AVCodec *encoder = avcodec_find_encoder(id);
  return encoder && !(encoder->capabilities & AV_CODEC_CAP_EXPERIMENTAL);
}

AVCodecID ChooseOutputCodec(const AVOutputFormat *fmt, const AVStream *inStream, bool reencode) noexcept {
  const AVCodecID own = inStream->codecpar->codec_id;
  if (MuxerTakesStream(fmt, inStream) && (!reencode || HasUsableEncoder(own))) return own;
  switch (inStream->codecpar->codec_type) {
    case AVMEDIA_TYPE_AUDIO: return fmt->audio_codec;
    case AVMEDIA_TYPE_VIDEO: return fmt->video_codec;
    default: return AV_CODEC_ID_NONE;
  }
}

}  // namespace mpg
