// Trim: the pictures of a time range of a file's first moving video stream, and its
// audio packets within the range copied, into a new file of the container type the
// input's name suggests; the range's start is the output's time 0. Where the video
// allows it (H.264 in closed groups of pictures, VP9), the groups that lie wholly
// in the range are copied packet for packet and only the pictures before the first
// and after the last of them are re-encoded; otherwise every picture of the range
// is. Refuses an input without audio or without moving video (a song's cover
// picture is not video), an output that names the input, and a range with no
// picture in it. The output is opened only once the input, its streams and the
// codecs are checked; a later failure removes it.
#include "edit/trim.h"

#include <string>
#include <string_view>

#include "codec/h264_join.h"
#include "codec/output_codec.h"
#include "core/input.h"
#include "core/output_file.h"
#include "core/seek.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "codec/video_reencoder.h"
#include "edit/edit_job.h"

namespace mpg {

namespace {

// The quality the re-encoded edges of a copied range are encoded at, on x264's CRF
// scale: close enough to a download's own that the seams do not show.
constexpr int32_t kEdgeQuality = 14;

// What the first look at the range found: where copying can start and end. Both
// are key frames of closed groups of pictures (no picture after one in decoding
// order is shown before it), given by their pts in the input video's time base.
// Video whose pictures are shown in decoding order is copied to the end itself.
struct CopyPlan {
  bool copies = false;
  bool toEnd = false;  // copied up to the range's end, no tail re-encoded
  int64_t from = 0;    // the first key frame at or after the start
  int64_t to = 0;      // the last key frame after from that is shown before the end
};

// One call's trim. Members are destroyed in reverse order: the video engine, the
// output (removed unless finished), then the input.
struct TrimJob {
  InputFormatPtr in;  // every packet of both streams is read from it
  OutputFile out;
  int audioIndex = -1;
  int videoIndex = -1;
  const AVStream *videoIn = nullptr;
  const AVStream *audioIn = nullptr;
  AVStream *audioOut = nullptr;
  VideoReencoder video;
  // The kept range [startTs, endTs) in the input video stream's time base.
  int64_t startTs = 0;
  int64_t endTs = 0;
  bool audioDone = false;  // an audio packet at or past the end was read

  // A copied range: the engines of its two edges (each with a scratch output
  // their streams are made in), the copied video's output stream, and where the
  // read has got to.
  CopyPlan plan;
  OutputFormatPtr edgeScratch;
  VideoReencoder head;  // [startTs, plan.from)
  VideoReencoder tail;  // [plan.to, endTs)
  bool hasHead = false;
  bool hasTail = false;
  AVStream *videoOut = nullptr;
  int lengthSize = 0;  // the avcC NAL length size the edges are rewritten to; 0: Annex B
  enum class Phase { Head, Copy, Tail, Done } phase = Phase::Head;  // Head: up to the copy
  int64_t lastVideoDts = AV_NOPTS_VALUE;
};

// One input serves both streams: the audio is copied by its codec parameters alone
// (no codec of it is needed), the video is decoded. A cover picture (an MP3's ID3
// art, an M4A's cover) is one still packet, not video to cut.
Status OpenInput(TrimJob &job, const char *inputPath) noexcept {
  Status st = OpenInputFile(inputPath, job.in);
  if (!IsOk(st)) return st;
  job.audioIndex = FindBestAudioStream(job.in.get());
  if (job.audioIndex < 0) return Status::AudioStreamNotFound;
  job.videoIndex = FindMovingVideoStream(job.in.get());
  if (job.videoIndex < 0) return Status::VideoStreamNotFound;
  job.audioIn = job.in->streams[job.audioIndex];
  job.videoIn = job.in->streams[job.videoIndex];
  // Without a size there is nothing to open the encoder with (AVERROR_UNKNOWN, as
  // hosts know it).
  if (job.videoIn->codecpar->width == 0 || job.videoIn->codecpar->height == 0) return Status::Unknown;
  return Status::Ok;
}

bool IsKey(const AVPacket *pkt) noexcept { return (pkt->flags & AV_PKT_FLAG_KEY) && pkt->pts != AV_NOPTS_VALUE; }

// True when the first video key frame in reads is shown at or before ts; pictures
// before it cannot be decoded and the decoder drops them. Reads (and drops) the
// packets up to it.
bool FirstKeyIsBefore(AVFormatContext *in, int video, int64_t ts) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return false;
  while (IsOk(ReadPacket(in, pkt.get()))) {
    const bool key = pkt->stream_index == video && IsKey(pkt.get());
    const bool before = key && pkt->pts <= ts;
    av_packet_unref(pkt.get());
    if (key) return before;
  }
  return false;
}

// Seeks in so that the first key frame its video is read from is shown at or before
// ts, the range's start. A seek by time lands on one in MP4 and Matroska, whose
// indexes list key frames; in MPEG-TS it lands on any picture, and the key frame
// after it may lie past the start. Each look reads a little, so the landing is
// sought again once found:
// seeks to a second are deterministic. Steps back 1, 2, 4 ... seconds; then the
// input is read from its start. The input just opened reads from its start
// already: a seek there could only land later (an MPEG-TS seek searches by
// decoding time and passes a first key frame whose decoding time lies before the
// stream's start). No decoder is open yet, so none needs flushing.
Status SeekToKeyBefore(InputFormatPtr &in, const char *inputPath, int video, int32_t seconds, int64_t ts) noexcept {
  for (int32_t back = 0; seconds - back > 0; back = back ? back * 2 : 1) {
    const auto at = static_cast<uint32_t>(seconds - back);
    Status st = SeekToSecond(in.get(), nullptr, video, at);
    if (!IsOk(st)) return st;
    if (!FirstKeyIsBefore(in.get(), video, ts)) continue;
    return SeekToSecond(in.get(), nullptr, video, at);
  }
  return OpenInputFile(inputPath, in);
}

// Seeks to the key frame at or before the start and sets the range; 64-bit
// throughout, since a 1/90000 clock passes 32 bits within hours.
Status SeekToStart(TrimJob &job, const char *inputPath, int32_t startSeconds, int32_t endSeconds) noexcept {
  job.startTs = SecondToStreamTimestamp(job.in.get(), job.videoIn, startSeconds);
  job.endTs = SecondToStreamTimestamp(job.in.get(), job.videoIn, endSeconds);
  if (startSeconds == 0) return Status::Ok;
  const Status st = SeekToKeyBefore(job.in, inputPath, job.videoIndex, startSeconds, job.startTs);
  // Opened again from its start: its streams are new objects.
  job.audioIn = job.in->streams[job.audioIndex];
  job.videoIn = job.in->streams[job.videoIndex];
  return st;
}

// The output in the container type the input's name suggests, with a copy of the
// audio.
Status CreateOutput(TrimJob &job, const AVOutputFormat *format, const char *outputPath) noexcept {
  const Status st = job.out.Create(format, outputPath);
  return IsOk(st) ? AddCopyStream(job.out.get(), job.audioIn, job.audioOut) : st;
}

// The pictures of the range re-encoded to the input's codec where the container
// takes it and an encoder exists (else the container's usual codec), at the
// input's size and stated bit rate, with the fast settings an edit needs. The range
// starts the output at 0; AVI, which stores no timestamps, would otherwise play the
// sound a range-start ahead of the pictures.
Status OpenVideo(TrimJob &job) noexcept {
  VideoReencodeRequest req;
  req.speed = EncodeSpeed::Fast;
  req.startTs = job.startTs;
  req.endTs = job.endTs;
  const Status st = job.video.Open(req, job.videoIn, job.out.get());
  if (!IsOk(st)) return st;
  job.video.OutStream()->avg_frame_rate = av_inv_q(job.video.Encoder()->time_base);
  return Status::Ok;
}

// Decodes one video packet and writes what the encoder finished. A failure of the
// encoder or the write ends the trim; a packet the decoder rejects is skipped under
// the rule of core/decoder.h.
Status TrimVideoPacket(TrimJob &job, const AVPacket *pkt) noexcept {
  const Status st = job.video.SendPacket(pkt);
  return IsOk(st) ? WriteFinishedPackets(job.video, job.out) : st;
}

// Copies an audio packet that starts within the range.
Status CopyAudio(TrimJob &job, AVPacket *pkt) noexcept {
  const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
  if (ts == AV_NOPTS_VALUE) return Status::Ok;
  const AVRational tb = job.audioIn->time_base, videoTb = job.videoIn->time_base;
  if (av_compare_ts(ts, tb, job.endTs, videoTb) >= 0) {
    job.audioDone = true;
    return Status::Ok;
  }
  if (av_compare_ts(ts, tb, job.startTs, videoTb) < 0) return Status::Ok;
  RescalePacketTimes(pkt, tb, job.audioOut->time_base);
  ShiftPacketTimes(pkt, RescaleTs(job.startTs, videoTb, job.audioOut->time_base));
  pkt->stream_index = job.audioOut->index;
  return job.out.Write(pkt);
}

// Reads from the start's key frame until both streams have passed the end or the
// input ends (a cut-off or damaged tail ends it too), then drains the video engine.
Status CopyRange(TrimJob &job) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  while (!(job.video.PastEnd() && job.audioDone)) {
    Status st = ReadPacket(job.in.get(), pkt.get());
    if (st == Status::Eof) break;
    if (!IsOk(st)) return st;
    if (pkt->stream_index == job.audioIndex) {
      st = CopyAudio(job, pkt.get());
    } else if (pkt->stream_index == job.videoIndex && !job.video.PastEnd()) {
      st = TrimVideoPacket(job, pkt.get());
    }
    av_packet_unref(pkt.get());
    if (!IsOk(st)) return st;
  }
  // The decoder still holds the last pictures of the input, the encoder the last
  // of the range.
  const Status st = job.video.Finish();
  if (!IsOk(st)) return st;
  if (job.video.PicturesEncoded() == 0) return Status::Eof;
  return WriteFinishedPackets(job.video, job.out);
}

// ---- A copied range ------------------------------------------------------------

// Reads the video packets of the range once, without decoding, and finds where a
// copy can start and end. No copy where any key frame met opens its group of
// pictures (a picture after it in decoding order shown before it refers to the
// group before), or where no whole group lies in the range.
CopyPlan PlanCopy(const char *inputPath, int32_t startSeconds, int64_t startTs, int64_t endTs, bool toEnd) noexcept {
  CopyPlan plan;
  plan.toEnd = toEnd;
  InputFormatPtr in;
  if (!IsOk(OpenInputFile(inputPath, in))) return plan;
  const int video = FindMovingVideoStream(in.get());
  if (video < 0) return plan;
  if (startSeconds > 0 && !IsOk(SeekToKeyBefore(in, inputPath, video, startSeconds, startTs))) return plan;
  PacketPtr pkt = MakePacket();
  if (!pkt) return plan;
  bool haveFrom = false, haveTo = false;
  int64_t lastKey = AV_NOPTS_VALUE;
  while (IsOk(ReadPacket(in.get(), pkt.get()))) {
    const bool mine = pkt->stream_index == video;
    const int64_t pts = pkt->pts;
    const bool key = mine && IsKey(pkt.get());
    av_packet_unref(pkt.get());
    if (!mine) continue;
    if (pts == AV_NOPTS_VALUE) return {};
    if (lastKey != AV_NOPTS_VALUE && !key && pts < lastKey) return {};  // an open group
    if (key) {
      // The group before this key frame ends here; it is whole in the range when
      // it started at or after from and this key frame is shown by the end.
      if (pts > endTs) break;
      lastKey = pts;
      if (!haveFrom && pts >= startTs) {
        plan.from = pts;
        haveFrom = true;
      } else if (haveFrom) {
        plan.to = pts;
        haveTo = true;
      }
    }
  }
  if (toEnd) {
    plan.to = endTs;
    plan.copies = haveFrom && plan.from < endTs;
  } else {
    plan.copies = haveFrom && haveTo;
  }
  return plan;
}

// Whether the parameter sets of the container's H.264 travel in the packets
// (MPEG-TS) rather than in an avcC beside them.
bool CarriesSetsInBand(const AVOutputFormat *format) noexcept { return std::string_view(format->name) == "mpegts"; }

// The copy can be joined only where the edges can be encoded to stand in one
// stream with the copied packets:
//  - H.264 kept as H.264, with the build's x264, whose parameter sets can be
//    numbered apart from the copied ones: in a container that keeps the sets in an
//    avcC (MP4, MOV, Matroska, FLV), where the edges' sets join the copied ones
//    there, or in MPEG-TS, where each key frame carries its own;
//  - 8-bit 4:2:0 VP9 (profile 0) with the build's libvpx, whose key frames carry
//    everything a decoder needs and whose pictures are shown in decoding order.
bool CanJoinCopies(const TrimJob &job, const AVOutputFormat *format) noexcept {
  const AVCodecParameters *par = job.videoIn->codecpar;
  if (par->codec_id == AV_CODEC_ID_VP9) {
    if (par->format != AV_PIX_FMT_YUV420P || !avcodec_find_encoder_by_name("libvpx-vp9")) return false;
    return MuxerTakesStream(format, job.videoIn);
  }
  if (par->codec_id != AV_CODEC_ID_H264 || !avcodec_find_encoder_by_name("libx264")) return false;
  const std::string_view config(reinterpret_cast<const char *>(par->extradata), static_cast<size_t>(par->extradata_size));
  if (!IsAvcConfig(config) && !CarriesSetsInBand(format)) return false;
  return MuxerTakesStream(format, job.videoIn);
}

Status OpenEdge(TrimJob &job, VideoReencoder &edge, int64_t from, int64_t to) noexcept {
  VideoReencodeRequest req;
  req.codecId = job.videoIn->codecpar->codec_id;
  req.speed = EncodeSpeed::Fast;
  req.quality = kEdgeQuality;
  req.startTs = from;
  req.endTs = to;
  req.betweenCopies = true;
  return edge.Open(req, job.videoIn, job.edgeScratch.get());
}

// The copied video's output stream, and the edges' encoders. Where the container
// keeps the parameter sets in the stream's configuration (avcC), the edges' sets
// are added to the copied ones there and the edges' packets are rewritten to
// length-prefixed units.
Status OpenCopiedVideo(TrimJob &job, const AVOutputFormat *format) noexcept {
  AVFormatContext *scratch = nullptr;
  if (avformat_alloc_output_context2(&scratch, format, nullptr, nullptr) < 0 || !scratch) return Status::NoMemory;
  job.edgeScratch.reset(scratch);
  job.hasHead = job.plan.from > job.startTs;
  job.hasTail = job.plan.to < job.endTs;
  Status st = Status::Ok;
  if (job.hasHead) st = OpenEdge(job, job.head, job.startTs, job.plan.from);
  if (IsOk(st) && job.hasTail) st = OpenEdge(job, job.tail, job.plan.to, job.endTs);
  if (IsOk(st)) st = AddCopyStream(job.out.get(), job.videoIn, job.videoOut);
  if (!IsOk(st)) return st;
  const AVCodecParameters *in = job.videoIn->codecpar;
  const std::string_view copied(reinterpret_cast<const char *>(in->extradata), static_cast<size_t>(in->extradata_size));
  // Nothing re-encoded (the range runs from key frame to key frame), or every key
  // frame carrying its own sets (the muxer puts the input's before a copied key
  // frame that lacks them): the copied configuration stands alone.
  if (!IsAvcConfig(copied) || (!job.hasHead && !job.hasTail)) return Status::Ok;
  job.lengthSize = AvcLengthSize(copied);
  const VideoReencoder &edge = job.hasHead ? job.head : job.tail;
  const AVCodecParameters *enc = edge.OutStream()->codecpar;
  const std::string_view encoded(reinterpret_cast<const char *>(enc->extradata), static_cast<size_t>(enc->extradata_size));
  if (IsAvcConfig(encoded)) return Status::InvalidData;
  const std::string joined = JoinAvcConfigs(copied, encoded);
  if (joined.empty() || job.lengthSize == 0) return Status::InvalidData;
  AVCodecParameters *out = job.videoOut->codecpar;
  av_freep(&out->extradata);
  out->extradata_size = 0;
  out->extradata = static_cast<uint8_t *>(av_mallocz(joined.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!out->extradata) return Status::NoMemory;
  std::copy(joined.begin(), joined.end(), out->extradata);
  out->extradata_size = static_cast<int>(joined.size());
  return Status::Ok;
}

// Writes one video packet of the output (times in the output stream's base),
// keeping its decoding times rising across the joins.
Status WriteVideo(TrimJob &job, AVPacket *pkt) noexcept {
  KeepDtsIncreasing(pkt, job.lastVideoDts);
  pkt->stream_index = job.videoOut->index;
  return job.out.Write(pkt);
}

// Writes what an edge finished, moved from its clock to the output stream's and by
// offset (input video time base) along the output's timeline.
Status WriteEdge(TrimJob &job, VideoReencoder &edge, int64_t offset) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  const AVRational outTb = job.videoOut->time_base;
  while (edge.TakePacket(pkt.get())) {
    RescalePacketTimes(pkt.get(), edge.OutStream()->time_base, outTb);
    ShiftPacketTimes(pkt.get(), -RescaleTs(offset, job.videoIn->time_base, outTb));
    Status st = job.lengthSize ? AnnexBToLengthPrefixed(pkt.get(), job.lengthSize) : Status::Ok;
    if (IsOk(st)) st = WriteVideo(job, pkt.get());
    av_packet_unref(pkt.get());
    if (!IsOk(st)) return st;
  }
  return Status::Ok;
}

Status CopyVideoPacket(TrimJob &job, AVPacket *pkt) noexcept {
  const AVRational outTb = job.videoOut->time_base;
  RescalePacketTimes(pkt, job.videoIn->time_base, outTb);
  ShiftPacketTimes(pkt, RescaleTs(job.startTs, job.videoIn->time_base, outTb));
  return WriteVideo(job, pkt);
}

// One video packet through the copied range's phases: the head's pictures are
// re-encoded up to the first copied key frame, the groups from there to the
// tail's key frame are copied, and the tail's pictures are re-encoded to the end.
Status JoinVideoPacket(TrimJob &job, AVPacket *pkt) noexcept {
  using Phase = TrimJob::Phase;
  const bool reachedFrom = IsKey(pkt) && pkt->pts == job.plan.from;
  const bool reachedTo = job.plan.toEnd ? pkt->pts >= job.plan.to : IsKey(pkt) && pkt->pts == job.plan.to;
  Status st = Status::Ok;
  if (job.phase == Phase::Head) {
    if (!reachedFrom) return job.hasHead ? job.head.SendPacket(pkt) : Status::Ok;
    if (job.hasHead) {
      st = job.head.Finish();
      if (IsOk(st)) st = WriteEdge(job, job.head, 0);
      if (IsOk(st)) st = job.head.PicturesEncoded() > 0 ? Status::Ok : Status::InvalidData;
      if (!IsOk(st)) return st;
    }
    job.phase = Phase::Copy;
  }
  if (job.phase == Phase::Copy) {
    if (!reachedTo) return CopyVideoPacket(job, pkt);
    job.phase = job.hasTail ? Phase::Tail : Phase::Done;
  }
  if (job.phase == Phase::Tail) {
    st = job.tail.SendPacket(pkt);
    if (IsOk(st)) st = WriteEdge(job, job.tail, job.plan.to - job.startTs);
    if (IsOk(st) && job.tail.PastEnd()) job.phase = Phase::Done;
  }
  return st;
}

// Reads from the start's key frame until the video is done and the audio has passed
// the end (or the input ends), then finishes the tail.
Status JoinRange(TrimJob &job) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  using Phase = TrimJob::Phase;
  while (!(job.phase == Phase::Done && job.audioDone)) {
    Status st = ReadPacket(job.in.get(), pkt.get());
    if (st == Status::Eof) break;
    if (!IsOk(st)) return st;
    if (pkt->stream_index == job.audioIndex) {
      st = CopyAudio(job, pkt.get());
    } else if (pkt->stream_index == job.videoIndex && job.phase != Phase::Done) {
      st = JoinVideoPacket(job, pkt.get());
    }
    av_packet_unref(pkt.get());
    if (!IsOk(st)) return st;
  }
  // The copy must have been reached; the tail's last pictures are still in it.
  if (job.phase == Phase::Head) return Status::InvalidData;
  if (!job.hasTail) return Status::Ok;
  const Status st = job.tail.Finish();
  return IsOk(st) ? WriteEdge(job, job.tail, job.plan.to - job.startTs) : st;
}

// A trim that copies the middle of its range (see PlanCopy).
Status RunJoinedTrim(TrimJob &job, const AVOutputFormat *format, const char *outputPath) noexcept {
  Status st = CreateOutput(job, format, outputPath);
  if (IsOk(st)) st = OpenCopiedVideo(job, format);
  if (IsOk(st)) st = job.out.WriteHeader();
  if (IsOk(st)) st = JoinRange(job);
  if (IsOk(st)) st = job.out.Finish();
  return st;
}

Status RunTrim(TrimJob &job, const char *inputPath, const char *outputPath, int32_t startSeconds,
               int32_t endSeconds) noexcept {
  const AVOutputFormat *format = EditOutputFormat(inputPath);
  Status st = format ? Status::Ok : kNoMuxer;
  if (IsOk(st)) st = OpenInput(job, inputPath);
  if (IsOk(st)) st = SeekToStart(job, inputPath, startSeconds, endSeconds);
  if (IsOk(st) && CanJoinCopies(job, format)) {
    const bool toEnd = job.videoIn->codecpar->codec_id == AV_CODEC_ID_VP9;
    job.plan = PlanCopy(inputPath, startSeconds, job.startTs, job.endTs, toEnd);
    if (job.plan.copies) return RunJoinedTrim(job, format, outputPath);
  }
  if (IsOk(st)) st = CreateOutput(job, format, outputPath);
  if (IsOk(st)) st = OpenVideo(job);
  if (IsOk(st)) st = job.out.WriteHeader();
  if (IsOk(st)) st = CopyRange(job);
  if (IsOk(st)) st = job.out.Finish();
  return st;
}

}  // namespace

Status TrimVideo(const char *inputPath, const char *outputPath, int32_t startSeconds, int32_t endSeconds) noexcept {
  const char *inputs[] = {inputPath};
  const Status st = RefuseOutputNamingInput(outputPath, inputs);
  if (!IsOk(st)) return st;
  TrimJob job;
  return RunTrim(job, inputPath, outputPath, startSeconds, endSeconds);
}

}  // namespace mpg
