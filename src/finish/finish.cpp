// The finishing pass: inputs opened and every addition prepared and checked against
// the container first, so a refusal leaves no file; then one interleaved copy of the
// audio and video packets, with the subtitle and cover packets written ahead of them
// (the muxer's interleaving puts them in place).
#include "finish/finish.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "codec/output_codec.h"
#include "core/decoder.h"
#include "core/input.h"
#include "core/output_file.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "finish/finish_container.h"
#include "finish/mp4_chapters.h"
#include "platform/platform.h"

namespace mpg {

namespace {

constexpr AVRational kMs = {1, 1000};
// Room for one encoded subtitle event; FFmpeg's tool allows 1 MiB.
constexpr int kSubtitleBufferSize = 1 << 20;

// One input file and the streams taken from it.
struct Source {
  InputFormatPtr in;
  std::vector<int> outIndex;    // by input stream index; -1: dropped
  std::vector<int64_t> offset;  // by input stream index, in its time base
  PacketPtr next;               // the next packet to write, or empty at the end
};

void FreeParameters(AVCodecParameters *p) { avcodec_parameters_free(&p); }

// A subtitle track made ready before the output is opened: its parameters and packets.
struct SubtitleTrack {
  std::unique_ptr<AVCodecParameters, void (*)(AVCodecParameters *)> params{nullptr, FreeParameters};
  AVRational timeBase = kMs;
  std::vector<PacketPtr> packets;
  const FinishSubtitle *source = nullptr;
};

struct FinishPass {
  explicit FinishPass(const FinishRequest &r) : request(r) {}
  const FinishRequest &request;
  const FinishContainer *container = nullptr;
  std::vector<Source> sources;
  const AVStream *video = nullptr;  // of sources[0] when the job has video
  std::vector<const AVStream *> audio;
  std::vector<SubtitleTrack> subtitles;
  OutputFile out;
  int coverIndex = -1;
  const AVStream *clock = nullptr;  // the stream progress follows
  const AVFormatContext *clockIn = nullptr;
  int clockOut = -1;
  bool keepHidden = false;  // packets an MP4 edit list hides are kept (into MP4, which keeps the list)
};

// ---- inputs --------------------------------------------------------------------

Status OpenSources(FinishPass &pass) {
  const FinishRequest &r = pass.request;
  if (!r.videoPath.empty()) {
    Source s;
    const Status st = OpenInputFile(r.videoPath.c_str(), s.in);
    if (!IsOk(st)) return st;
    const int v = FindMovingVideoStream(s.in.get());
    if (v < 0) return Status::VideoStreamNotFound;
    pass.video = s.in->streams[v];
    // Without audio files, the video file's audio streams come along, all of them.
    if (r.audioPaths.empty())
      for (int i = FindUsableAudioStream(s.in.get()); i >= 0; i = FindNextUsableAudioStream(s.in.get(), i))
        pass.audio.push_back(s.in->streams[i]);
    pass.sources.push_back(std::move(s));
  }
  for (const std::string &path : r.audioPaths) {
    Source s;
    const Status st = OpenInputFile(path.c_str(), s.in);
    if (!IsOk(st)) return st;
    const int a = FindBestAudioStream(s.in.get());
    if (a < 0) return Status::AudioStreamNotFound;
    pass.audio.push_back(s.in->streams[a]);
    pass.sources.push_back(std::move(s));
  }
  if (!pass.video && pass.audio.empty()) return Status::AudioStreamNotFound;
  return Status::Ok;
}

Status ChooseContainer(FinishPass &pass) {
  std::string name = pass.request.container;
  if (name.empty()) name = FinishContainerOfPath(pass.request.outputPath);
  if (name.empty() && pass.request.chooseContainer)
    name = pass.request.chooseContainer(pass.video, pass.audio.empty() ? nullptr : pass.audio.front());
  pass.container = FindFinishContainer(name);
  return pass.container ? Status::Ok : Status::BadParameter;
}

// ---- subtitles -------------------------------------------------------------------

// Decodes every event of the file's subtitle stream and encodes it with encoderId,
// keeping each event's start and length to the millisecond.
Status ConvertSubtitles(AVFormatContext *in, const AVStream *st, AVCodecID encoderId, SubtitleTrack &track) {
  CodecContextPtr dec;
  Status status = OpenDecoder(st, dec);
  if (!IsOk(status)) return status == kNoCodec ? kNoCodec : Status::InvalidData;
  const AVCodec *codec = avcodec_find_encoder(encoderId);
  if (!codec) return kNoCodec;
  CodecContextPtr enc(avcodec_alloc_context3(codec));
  if (!enc) return Status::NoMemory;
  enc->time_base = kMs;
  // The encoder takes its styles from the decoder's ASS header, as the ffmpeg tool does.
  if (dec->subtitle_header_size > 0) {
    enc->subtitle_header = static_cast<uint8_t *>(av_mallocz(dec->subtitle_header_size + 1));
    if (!enc->subtitle_header) return Status::NoMemory;
    memcpy(enc->subtitle_header, dec->subtitle_header, dec->subtitle_header_size);
    enc->subtitle_header_size = dec->subtitle_header_size;
  }
  int ret = avcodec_open2(enc.get(), codec, nullptr);
  if (ret < 0) return StatusFromAv(ret);
  track.params.reset(avcodec_parameters_alloc());
  if (!track.params) return Status::NoMemory;
  ret = avcodec_parameters_from_context(track.params.get(), enc.get());
  if (ret < 0) return StatusFromAv(ret);
  track.timeBase = kMs;
  PacketPtr pkt = MakePacket();
  std::vector<uint8_t> buffer(kSubtitleBufferSize);
  if (!pkt) return Status::NoMemory;
  for (;;) {
    status = ReadPacket(in, pkt.get());
    if (status == Status::Eof) return Status::Ok;
    if (!IsOk(status)) return status;
    if (pkt->stream_index != st->index || pkt->pts == AV_NOPTS_VALUE) {
      av_packet_unref(pkt.get());
      continue;
    }
    const int64_t startMs = RescaleTs(pkt->pts, st->time_base, kMs);
    const int64_t lengthMs = RescaleDuration(pkt->duration, st->time_base, kMs);
    AVSubtitle sub{};
    int got = 0;
    ret = avcodec_decode_subtitle2(dec.get(), &sub, &got, pkt.get());
    av_packet_unref(pkt.get());
    if (ret < 0 || !got) continue;
    sub.pts = av_rescale_q(startMs, kMs, AV_TIME_BASE_Q);
    sub.start_display_time = 0;
    sub.end_display_time = static_cast<uint32_t>(std::max<int64_t>(lengthMs, 0));
    const int size = avcodec_encode_subtitle(enc.get(), buffer.data(), kSubtitleBufferSize, &sub);
    avsubtitle_free(&sub);
    if (size < 0) return StatusFromAv(size);
    PacketPtr out = MakePacket();
    if (!out || av_new_packet(out.get(), size) < 0) return Status::NoMemory;
    memcpy(out->data, buffer.data(), static_cast<size_t>(size));
    out->pts = out->dts = startMs;
    out->duration = lengthMs;
    out->flags |= AV_PKT_FLAG_KEY;
    track.packets.push_back(std::move(out));
  }
}

// Every packet of the file's subtitle stream as it is.
Status CopySubtitles(AVFormatContext *in, const AVStream *st, SubtitleTrack &track) {
  track.params.reset(avcodec_parameters_alloc());
  if (!track.params) return Status::NoMemory;
  const int ret = avcodec_parameters_copy(track.params.get(), st->codecpar);
  if (ret < 0) return StatusFromAv(ret);
  track.timeBase = st->time_base;
  for (;;) {
    PacketPtr pkt = MakePacket();
    if (!pkt) return Status::NoMemory;
    const Status status = ReadPacket(in, pkt.get());
    if (status == Status::Eof) return Status::Ok;
    if (!IsOk(status)) return status;
    if (pkt->stream_index == st->index && pkt->pts != AV_NOPTS_VALUE) track.packets.push_back(std::move(pkt));
  }
}

Status PrepareSubtitle(const FinishSubtitle &sub, SubtitleForm form, SubtitleTrack &track) {
  if (form == SubtitleForm::None) return kNoMuxer;
  InputFormatPtr in;
  Status st = OpenInputFile(sub.path.c_str(), in);
  if (!IsOk(st)) return st == StatusFromAv(AVERROR(ENOENT)) ? st : Status::InvalidData;
  const int index = FindFirstStreamOfType(in.get(), AVMEDIA_TYPE_SUBTITLE);
  if (index < 0) return Status::InvalidData;
  const AVStream *s = in->streams[index];
  const AVCodecID id = s->codecpar->codec_id;
  if (id != AV_CODEC_ID_SUBRIP && id != AV_CODEC_ID_WEBVTT && id != AV_CODEC_ID_ASS) return Status::InvalidData;
  track.source = &sub;
  switch (form) {
    case SubtitleForm::MovText: return ConvertSubtitles(in.get(), s, AV_CODEC_ID_MOV_TEXT, track);
    case SubtitleForm::AsIs: return CopySubtitles(in.get(), s, track);
    case SubtitleForm::WebVtt:
      // WebM's WebVTT has no place for ASS styling and positions: refused, not flattened.
      if (id == AV_CODEC_ID_ASS) return kNoMuxer;
      return id == AV_CODEC_ID_WEBVTT ? CopySubtitles(in.get(), s, track)
                                      : ConvertSubtitles(in.get(), s, AV_CODEC_ID_WEBVTT, track);
    case SubtitleForm::None: break;
  }
  return kNoMuxer;
}

Status PrepareSubtitles(FinishPass &pass) {
  pass.subtitles.reserve(pass.request.subtitles.size());
  for (const FinishSubtitle &sub : pass.request.subtitles) {
    SubtitleTrack track;
    const Status st = PrepareSubtitle(sub, pass.container->subtitles, track);
    if (!IsOk(st)) return st;
    pass.subtitles.push_back(std::move(track));
  }
  return Status::Ok;
}

// ---- the output ---------------------------------------------------------------------

// A FLAC PICTURE block (type 3, front cover) in base64, as Ogg's Vorbis comments
// carry a cover under METADATA_BLOCK_PICTURE.
std::string VorbisPictureComment(const FinishCover &cover) {
  const std::string mime = cover.codec == AV_CODEC_ID_PNG ? "image/png" : "image/jpeg";
  std::string block;
  const auto put32 = [&](uint32_t v) {
    for (int i = 3; i >= 0; --i) block.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  put32(3);
  put32(static_cast<uint32_t>(mime.size()));
  block += mime;
  put32(0);  // no description
  put32(static_cast<uint32_t>(cover.width));
  put32(static_cast<uint32_t>(cover.height));
  put32(24);  // bits per pixel
  put32(0);   // not indexed
  put32(static_cast<uint32_t>(cover.bytes.size()));
  block += cover.bytes;
  std::string text(AV_BASE64_SIZE(block.size()), '\0');
  av_base64_encode(text.data(), static_cast<int>(text.size()), reinterpret_cast<const uint8_t *>(block.data()),
                   static_cast<int>(block.size()));
  text.resize(strlen(text.c_str()));
  return text;
}

Status AddMediaStreams(FinishPass &pass) {
  const AVOutputFormat *fmt = pass.out->oformat;
  for (Source &s : pass.sources) {
    s.outIndex.assign(s.in->nb_streams, -1);
    s.offset.assign(s.in->nb_streams, 0);
  }
  std::vector<const AVStream *> taken;
  pass.keepHidden = pass.container->chapters == ChapterForm::Nero;
  if (pass.video) taken.push_back(pass.video);
  taken.insert(taken.end(), pass.audio.begin(), pass.audio.end());
  for (const AVStream *inStream : taken) {
    // A container that cannot store the codec as it is refuses the job: nothing is re-encoded.
    if (!MuxerTakesStream(fmt, inStream)) return kNoMuxer;
    AVStream *outStream = nullptr;
    const Status st = AddCopyStream(pass.out.get(), inStream, outStream);
    if (!IsOk(st)) return st;
    for (const char *key : {"language", "title"}) {
      const AVDictionaryEntry *e = av_dict_get(inStream->metadata, key, nullptr, 0);
      if (e) av_dict_set(&outStream->metadata, key, e->value, 0);
    }
    outStream->disposition &= ~AV_DISPOSITION_ATTACHED_PIC;
    for (Source &s : pass.sources)
      for (unsigned i = 0; i < s.in->nb_streams; ++i)
        if (s.in->streams[i] == inStream) s.outIndex[i] = outStream->index;
    if (!pass.clock) {
      pass.clock = inStream;
      pass.clockOut = outStream->index;
    }
  }
  // Each input moves to start at 0, its streams keeping their offsets to each other.
  for (Source &s : pass.sources) {
    const AVStream *first = nullptr;
    for (unsigned i = 0; i < s.in->nb_streams && !first; ++i)
      if (s.outIndex[i] >= 0) first = s.in->streams[i];
    if (pass.clock && pass.clock == first) pass.clockIn = s.in.get();
    const int64_t start = first ? std::max<int64_t>(0, InputStartOffset(s.in.get(), {first}, AV_TIME_BASE_Q)) : 0;
    for (unsigned i = 0; i < s.in->nb_streams; ++i)
      s.offset[i] = RescaleTs(start, AV_TIME_BASE_Q, s.in->streams[i]->time_base);
  }
  return Status::Ok;
}

Status AddSubtitleStreams(FinishPass &pass) {
  for (SubtitleTrack &track : pass.subtitles) {
    AVStream *st = avformat_new_stream(pass.out.get(), nullptr);
    if (!st) return Status::NoMemory;
    const int ret = avcodec_parameters_copy(st->codecpar, track.params.get());
    if (ret < 0) return StatusFromAv(ret);
    st->codecpar->codec_tag = 0;
    st->time_base = track.timeBase;
    if (!track.source->language.empty()) av_dict_set(&st->metadata, "language", track.source->language.c_str(), 0);
    st->disposition = track.source->isDefault ? AV_DISPOSITION_DEFAULT : 0;
    for (PacketPtr &p : track.packets) p->stream_index = st->index;
  }
  return Status::Ok;
}

Status AddCover(FinishPass &pass) {
  const FinishRequest &r = pass.request;
  if (!r.hasCover) return Status::Ok;
  const FinishCover &c = r.cover;
  const bool png = c.codec == AV_CODEC_ID_PNG;
  switch (pass.container->cover) {
    case CoverForm::None: return kNoMuxer;
    case CoverForm::VorbisPicture:
      return StatusFromAv(av_dict_set(&pass.out->metadata, "METADATA_BLOCK_PICTURE", VorbisPictureComment(c).c_str(), 0),
                          Status::Ok);
    case CoverForm::Attachment: {
      AVStream *st = avformat_new_stream(pass.out.get(), nullptr);
      if (!st) return Status::NoMemory;
      st->codecpar->codec_type = AVMEDIA_TYPE_ATTACHMENT;
      st->codecpar->codec_id = png ? AV_CODEC_ID_PNG : AV_CODEC_ID_MJPEG;
      // Matroska writes an attachment's bytes from its extradata.
      st->codecpar->extradata = static_cast<uint8_t *>(av_mallocz(c.bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE));
      if (!st->codecpar->extradata) return Status::NoMemory;
      memcpy(st->codecpar->extradata, c.bytes.data(), c.bytes.size());
      st->codecpar->extradata_size = static_cast<int>(c.bytes.size());
      av_dict_set(&st->metadata, "filename", png ? "cover.png" : "cover.jpg", 0);
      av_dict_set(&st->metadata, "mimetype", png ? "image/png" : "image/jpeg", 0);
      return Status::Ok;
    }
    case CoverForm::AttachedPic: {
      AVStream *st = avformat_new_stream(pass.out.get(), nullptr);
      if (!st) return Status::NoMemory;
      st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
      st->codecpar->codec_id = c.codec;
      st->codecpar->width = c.width;
      st->codecpar->height = c.height;
      st->disposition = AV_DISPOSITION_ATTACHED_PIC;
      st->time_base = {1, 90000};
      pass.coverIndex = st->index;
      return Status::Ok;
    }
  }
  return kNoMuxer;
}

// Vorbis comments (FLAC, Ogg) have one field for a comment and a description,
// DESCRIPTION, which FFmpeg writes for "comment" and reads back as "comment": a
// description goes there, and a comment beside it is left out.
void AddTags(FinishPass &pass) {
  const auto &tags = pass.request.tags;
  const bool vorbis = pass.container->chapters == ChapterForm::VorbisComments;
  const bool hasDescription =
      std::any_of(tags.begin(), tags.end(), [](const auto &t) { return t.first == "description"; });
  for (const auto &[key, value] : tags) {
    if (vorbis && key == "comment" && hasDescription) continue;
    av_dict_set(&pass.out->metadata, vorbis && key == "description" ? "comment" : key.c_str(), value.c_str(), 0);
  }
}

Status AddChapters(FinishPass &pass) {
  const auto &chapters = pass.request.chapters;
  if (pass.container->chapters == ChapterForm::Nero) return chapters.size() <= kMaxNeroChapters ? Status::Ok : kNoMuxer;
  AVFormatContext *out = pass.out.get();
  if (pass.container->chapters == ChapterForm::VorbisComments) {
    // CHAPTERnnn=HH:MM:SS.mmm and CHAPTERnnnNAME=title, the time first: a reader
    // keeps a name only for a chapter it has met.
    if (chapters.size() > 1000) return kNoMuxer;
    for (size_t i = 0; i < chapters.size(); ++i) {
      char key[24], time[32];
      const int64_t ms = chapters[i].startMs;
      std::snprintf(key, sizeof key, "CHAPTER%03d", static_cast<int>(i));
      std::snprintf(time, sizeof time, "%02lld:%02d:%02d.%03d", static_cast<long long>(ms / 3600000),
                    static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000));
      av_dict_set(&out->metadata, key, time, 0);
      if (!chapters[i].title.empty())
        av_dict_set(&out->metadata, (std::string(key) + "NAME").c_str(), chapters[i].title.c_str(), 0);
    }
    return Status::Ok;
  }
  for (size_t i = 0; i < chapters.size(); ++i) {
    // The context frees its chapters (metadata, then the record) with avformat_free_context.
    auto *ch = static_cast<AVChapter *>(av_mallocz(sizeof(AVChapter)));
    if (!ch) return Status::NoMemory;
    ch->id = static_cast<int64_t>(i) + 1;
    ch->time_base = kMs;
    ch->start = chapters[i].startMs;
    ch->end = chapters[i].endMs;
    if (!chapters[i].title.empty()) av_dict_set(&ch->metadata, "title", chapters[i].title.c_str(), 0);
    const int ret = av_dynarray_add_nofree(&out->chapters, reinterpret_cast<int *>(&out->nb_chapters), ch);
    if (ret < 0) {
      av_dict_free(&ch->metadata);
      av_free(ch);
      return StatusFromAv(ret);
    }
  }
  return Status::Ok;
}

Status CreateOutput(FinishPass &pass) {
  const FinishRequest &r = pass.request;
  std::vector<const char *> inputs;
  if (!r.videoPath.empty()) inputs.push_back(r.videoPath.c_str());
  for (const std::string &p : r.audioPaths) inputs.push_back(p.c_str());
  for (const FinishSubtitle &s : r.subtitles) inputs.push_back(s.path.c_str());
  if (!r.coverPath.empty()) inputs.push_back(r.coverPath.c_str());
  Status st = RefuseOutputNamingInput(r.outputPath.c_str(), inputs);
  if (IsOk(st)) st = pass.out.Create(pass.container->muxer, r.outputPath.c_str());

  if (IsOk(st)) st = AddMediaStreams(pass);
  if (IsOk(st)) st = AddSubtitleStreams(pass);
  if (IsOk(st)) st = AddCover(pass);
  if (IsOk(st)) st = AddChapters(pass);
  if (IsOk(st)) AddTags(pass);
  return st;
}

// ID3v2.3 for MP3: FFmpeg 5.1 writes a v2.4 CHAP frame's size as a plain number where
// v2.4 wants a sync-safe one, so a chapter of more than 127 bytes reads back broken;
// v2.3 sizes are plain numbers, and more players read v2.3.
Status WriteHeader(FinishPass &pass) {
  DictPtr options;
  if (std::string_view(pass.container->muxer) == "mp3") {
    AVDictionary *raw = nullptr;
    av_dict_set(&raw, "id3v2_version", "3", 0);
    options.reset(raw);
  }
  AVDictionary *raw = options.release();
  const Status st = pass.out.WriteHeader(raw ? &raw : nullptr);
  av_dict_free(&raw);
  return st;
}

// ---- the copy --------------------------------------------------------------------------

// Reads the source's next packet of a taken stream into s.next (empty at the end).
Status Advance(Source &s, bool keepHidden) {
  if (!s.next) s.next = MakePacket();
  if (!s.next) return Status::NoMemory;
  for (;;) {
    av_packet_unref(s.next.get());
    const Status st = ReadPacket(s.in.get(), s.next.get());
    if (st == Status::Eof) {
      s.next.reset();
      return Status::Ok;
    }
    if (!IsOk(st)) return st;
    const int i = s.next->stream_index;
    // Packets an MP4 edit list hides before its start are written only where the
    // output keeps an edit list too; elsewhere they would be played.
    if (i < static_cast<int>(s.outIndex.size()) && s.outIndex[i] >= 0 &&
        (keepHidden || !(s.next->flags & AV_PKT_FLAG_DISCARD)))
      return Status::Ok;
  }
}

// The time of a source's next packet on the common clock, in microseconds.
int64_t NextTime(const Source &s) noexcept {
  const AVStream *st = s.in->streams[s.next->stream_index];
  const int64_t ts = s.next->dts != AV_NOPTS_VALUE ? s.next->dts : s.next->pts;
  return ts == AV_NOPTS_VALUE ? INT64_MIN : av_rescale_q(ts - s.offset[st->index], st->time_base, AV_TIME_BASE_Q);
}

// The source whose next packet comes first on the common clock, or null at the end.
Source *EarliestSource(FinishPass &pass) {
  Source *best = nullptr;
  for (Source &s : pass.sources)
    if (s.next && (!best || NextTime(s) < NextTime(*best))) best = &s;
  return best;
}

// Reads each source's first packet. When one lies before 0 (an Opus stream's
// pre-skip), Matroska's muxer moves every stream later by that much, as FFmpeg's
// muxers do where a container stores no negative times; its chapters, which are
// no stream, are moved with them here so they stay in step.
// Matroska's muxer goes by presentation times, so a video whose decoding times
// start before 0 (B-frames) moves nothing.
Status PrimeSources(FinishPass &pass) {
  int64_t first = 0;
  for (Source &s : pass.sources) {
    const Status st = Advance(s, pass.keepHidden);
    if (!IsOk(st)) return st;
    if (!s.next || s.next->pts == AV_NOPTS_VALUE) continue;
    const AVStream *in = s.in->streams[s.next->stream_index];
    first = std::min(first, av_rescale_q(s.next->pts - s.offset[in->index], in->time_base, AV_TIME_BASE_Q));
  }
  const std::string_view muxer = pass.container->muxer;
  if (first < 0 && (muxer == "matroska" || muxer == "webm")) {
    for (unsigned i = 0; i < pass.out->nb_chapters; ++i) {
      AVChapter *ch = pass.out->chapters[i];
      ch->start = av_rescale_q(ch->start, ch->time_base, AV_TIME_BASE_Q) - first;
      ch->end = av_rescale_q(ch->end, ch->time_base, AV_TIME_BASE_Q) - first;
      ch->time_base = AV_TIME_BASE_Q;
    }
  }
  return Status::Ok;
}

Status WriteAdditions(FinishPass &pass) {
  if (pass.coverIndex >= 0) {
    PacketPtr pkt = MakePacket();
    const std::string &bytes = pass.request.cover.bytes;
    if (!pkt || av_new_packet(pkt.get(), static_cast<int>(bytes.size())) < 0) return Status::NoMemory;
    memcpy(pkt->data, bytes.data(), bytes.size());
    pkt->stream_index = pass.coverIndex;
    pkt->flags |= AV_PKT_FLAG_KEY;
    pkt->pts = pkt->dts = 0;
    const Status st = pass.out.Write(pkt.get());
    if (!IsOk(st)) return st;
  }
  for (SubtitleTrack &track : pass.subtitles) {
    const AVStream *outStream = pass.out->streams[track.packets.empty() ? 0 : track.packets[0]->stream_index];
    int64_t lastDts = AV_NOPTS_VALUE;
    for (PacketPtr &p : track.packets) {
      RescalePacketTimes(p.get(), track.timeBase, outStream->time_base);
      KeepDtsIncreasing(p.get(), lastDts);
      const Status st = pass.out.Write(p.get());
      if (!IsOk(st)) return st;
    }
  }
  return Status::Ok;
}

Status CopyMedia(FinishPass &pass, ProgressReporter &progress) {
  std::vector<int64_t> lastDts(pass.out->nb_streams, AV_NOPTS_VALUE);
  const int64_t length = pass.clock ? StatedDuration(pass.clockIn, pass.clock).value_or(0) : 0;
  while (Source *s = EarliestSource(pass)) {
    AVPacket *pkt = s->next.get();
    const AVStream *in = s->in->streams[pkt->stream_index];
    const int outIndex = s->outIndex[pkt->stream_index];
    const bool stop = outIndex == pass.clockOut && pkt->pts != AV_NOPTS_VALUE &&
                      progress.ReportPosition(pkt->pts - s->offset[in->index], length);
    ShiftPacketTimes(pkt, s->offset[in->index]);
    RescalePacketTimes(pkt, in->time_base, pass.out->streams[outIndex]->time_base);
    KeepDtsIncreasing(pkt, lastDts[outIndex]);
    pkt->stream_index = outIndex;
    pkt->pos = -1;
    // The write takes the packet's reference.
    Status st = pass.out.Write(pkt);
    if (!IsOk(st) || stop) return st;
    st = Advance(*s, pass.keepHidden);
    if (!IsOk(st)) return st;
  }
  return Status::Ok;
}

Status RunPass(FinishPass &pass, ProgressReporter &progress) {
  Status st = OpenSources(pass);
  if (IsOk(st)) st = ChooseContainer(pass);
  if (IsOk(st)) st = PrepareSubtitles(pass);
  if (IsOk(st)) st = CreateOutput(pass);
  if (IsOk(st)) st = PrimeSources(pass);
  if (IsOk(st)) st = WriteHeader(pass);
  if (IsOk(st)) st = WriteAdditions(pass);
  if (IsOk(st)) st = CopyMedia(pass, progress);
  if (IsOk(st)) st = pass.out.Finish();
  if (IsOk(st) && pass.container->chapters == ChapterForm::Nero && !pass.request.chapters.empty()) {
    st = AppendNeroChapters(pass.request.outputPath.c_str(), pass.request.chapters);
    // The finished file is the job's own: a file without its chapters is removed.
    if (!IsOk(st)) platform::DeleteFile(pass.request.outputPath.c_str());
  }
  return st;
}

}  // namespace

Status Finish(const FinishRequest &request, ProgressCallback callback, uintptr_t user) noexcept {
  try {
    ProgressReporter progress(callback, user);
    FinishPass pass(request);
    const Status st = RunPass(pass, progress);
    if (IsOk(st) && !progress.StopRequested()) progress.ReportFinal();
    return st;
  } catch (...) {
    return Status::NoMemory;
  }
}

}  // namespace mpg
