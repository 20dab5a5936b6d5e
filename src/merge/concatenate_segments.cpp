// Concatenation of segment files into one MPEG-TS or MP4 file without decoding.
// Refuses an output that names a segment and a first segment with neither video
// nor usable audio. A failure removes the output if the call opened it and keeps
// every segment; a segment cut off or damaged ends where it can no longer be read
// and the next one follows; a stop by the host finishes the file with the
// segments joined so far, and keeps them.
#include "merge/concatenate_segments.h"

#include <algorithm>
#include <deque>
#include <optional>
#include <string_view>

#include "core/input.h"
#include "core/output_file.h"
#include "core/progress.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "platform/platform.h"

namespace mpg {

namespace {

constexpr std::string_view kTransportStreamExtensions[] = {"ts", "m4t", "m2t", "m2ts", "mts"};
// A segment that starts more than this many packet steps away from where its kind
// of stream ended has jumped; a smaller overlap or gap is the jitter of segments
// cut from one stream (an AAC priming frame, a rounded duration).
constexpr int64_t kJumpSteps = 3;
// How much of a segment joined without a stream probe is read ahead to learn where
// its video and audio start; the probe reads as much at most (its default size).
constexpr int64_t kReadAheadBytes = 5'000'000;

// What the streams of the last probed segment were. A segment whose container
// states the same streams (kinds, codecs, ids, and no other size or rate where it
// states one) is joined without probing it: the probe decodes several pictures of
// every segment, most of a join's time, and segments cut from one stream tell it
// nothing new. Its streams are then given the probed segment's parameters, which
// the demuxer also needs to time the audio frames it splits from one PES packet.
struct StreamLayout {
  struct Stream {
    int id = 0;
    CodecParametersPtr parameters;
    AVRational realFrameRate{0, 1};
    AVRational averageFrameRate{0, 1};
  };
  std::vector<Stream> streams;
  int videoIndex = -1;  // the stream joined as video, -1 for none
  int audioIndex = -1;  // the stream joined as audio, -1 for none
};

// Where one kind of stream (video or audio) of the output has got to, in the
// output stream's time base. The output's timeline starts at 0.
struct ConcatTrack {
  int64_t end = 0;                   // the largest pts + duration written
  int64_t lastDts = AV_NOPTS_VALUE;  // the last written dts
  int64_t step = 0;                  // the last packet's duration, or its dts step when it states none
  int64_t shift = 0;                 // added to every rescaled timestamp of the segment being appended
};

// One call's concatenation: its parameters, the output and what carries the
// continuity from one segment to the next.
struct ConcatJob {
  ConcatJob(const std::vector<std::string> &list, bool rebase) : segments(list), rebaseTimestamps(rebase) {}

  const std::vector<std::string> &segments;
  bool rebaseTimestamps;  // close a gap between segments too
  ConcatTrack video;
  ConcatTrack audio;
  bool started = false;          // a packet has been written
  bool stopped = false;          // the host asked to stop
  InputFormatPtr firstSegment;   // opened for the stream set-up, appended first
  std::optional<StreamLayout> layout;  // the last probed segment's streams
  std::vector<size_t> appended;  // segments read to their end
  OutputFile out;
};

// One kind of stream (video or audio) while a segment is appended.
struct SegmentTrack {
  int inIndex = -1;               // the segment's stream of this kind, -1 for none
  AVStream *outStream = nullptr;  // the output's stream of this kind, or none
  ConcatTrack *concat = nullptr;  // where the output's stream of this kind has got to
  int64_t segmentDuration = 0;    // written durations from this segment (output tb)
};

// One segment, opened once for both its video and its audio.
struct Segment {
  InputFormatPtr in;
  SegmentTrack video;
  SegmentTrack audio;
  bool probed = false;  // its stream information was read (else it is the layout's)
  bool placed = false;  // its place on the output's timeline is decided
};

Status RefuseOutputNamingSegment(const char *outputPath, const std::vector<std::string> &segments) {
  std::vector<const char *> paths;
  paths.reserve(segments.size());
  for (const std::string &s : segments) paths.push_back(s.c_str());
  return RefuseOutputNamingInput(outputPath, paths);
}

// The streams a segment contributes: its first moving video (a cover picture has no
// timeline to join) and its first usable audio; -1 for none.
int SegmentVideoStream(const AVFormatContext *in) { return FindMovingVideoStream(in); }
int SegmentAudioStream(const AVFormatContext *in) { return FindUsableAudioStream(in); }

// Output streams from the first segment: its video (index 0) and then its audio,
// whichever it has, copied from codec parameters alone (joining needs neither
// encoder nor decoder). The segment stays open to be appended first.
Status AddStreamsFromFirstSegment(ConcatJob &job) {
  const char *path = job.segments.front().c_str();
  // Only a regular file: opening a pipe or a device could block.
  if (platform::GetFileKind(path) != platform::FileKind::Regular) return Status::VideoStreamNotFound;
  InputFormatPtr in;
  if (!IsOk(OpenInputFile(path, in))) return Status::VideoStreamNotFound;
  const int videoIndex = SegmentVideoStream(in.get());
  const int audioIndex = SegmentAudioStream(in.get());
  if (videoIndex < 0 && audioIndex < 0) return Status::VideoStreamNotFound;
  for (const int index : {videoIndex, audioIndex}) {
    if (index < 0) continue;
    AVStream *st = nullptr;
    const Status status = AddCopyStream(job.out.get(), in->streams[index], st);
    if (!IsOk(status)) return status;
  }
  job.firstSegment = std::move(in);
  return Status::Ok;
}

// The coding parameters of a segment's video (all but type, codec, tag and
// extradata) become the output video stream's, so the output states the last
// segment's picture size, rate and colour.
void CopyCodingParameters(AVCodecParameters *dst, const AVCodecParameters *src) {
  dst->format = src->format;
  dst->bit_rate = src->bit_rate;
  dst->bits_per_coded_sample = src->bits_per_coded_sample;
  dst->bits_per_raw_sample = src->bits_per_raw_sample;
  dst->profile = src->profile;
  dst->level = src->level;
  dst->width = src->width;
  dst->height = src->height;
  dst->sample_aspect_ratio = src->sample_aspect_ratio;
  CopyEnumField(dst->field_order, src->field_order);
  CopyEnumField(dst->color_range, src->color_range);
  CopyEnumField(dst->color_primaries, src->color_primaries);
  CopyEnumField(dst->color_trc, src->color_trc);
  CopyEnumField(dst->color_space, src->color_space);
  CopyEnumField(dst->chroma_location, src->chroma_location);
  dst->video_delay = src->video_delay;
  dst->sample_rate = src->sample_rate;
  dst->block_align = src->block_align;
  dst->frame_size = src->frame_size;
  dst->initial_padding = src->initial_padding;
  dst->trailing_padding = src->trailing_padding;
  dst->seek_preroll = src->seek_preroll;
}

// The layout of a probed segment; nothing when memory runs out (the next segment
// is then probed).
std::optional<StreamLayout> LayoutOf(const AVFormatContext *in, int videoIndex, int audioIndex) {
  StreamLayout layout;
  layout.videoIndex = videoIndex;
  layout.audioIndex = audioIndex;
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    const AVStream *st = in->streams[i];
    CodecParametersPtr parameters(avcodec_parameters_alloc());
    if (!parameters || avcodec_parameters_copy(parameters.get(), st->codecpar) < 0) return std::nullopt;
    layout.streams.push_back({st->id, std::move(parameters), st->r_frame_rate, st->avg_frame_rate});
  }
  return layout;
}

// A value the unprobed container states (not 0) must be the probed one.
bool Agrees(int stated, int probed) { return stated == 0 || stated == probed; }

bool HasLayout(const AVFormatContext *in, const StreamLayout &layout) {
  if (in->nb_streams != layout.streams.size()) return false;
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    const AVCodecParameters *par = in->streams[i]->codecpar;
    const StreamLayout::Stream &s = layout.streams[i];
    const AVCodecParameters *probed = s.parameters.get();
    if (par->codec_id == AV_CODEC_ID_NONE || par->codec_type != probed->codec_type ||
        par->codec_id != probed->codec_id || in->streams[i]->id != s.id || !Agrees(par->width, probed->width) ||
        !Agrees(par->height, probed->height) || !Agrees(par->sample_rate, probed->sample_rate) ||
        !Agrees(par->ch_layout.nb_channels, probed->ch_layout.nb_channels))
      return false;
  }
  return true;
}

// Gives an unprobed segment's streams the layout's parameters, before a packet is read.
Status AdoptLayout(AVFormatContext *in, const StreamLayout &layout) {
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    AVStream *st = in->streams[i];
    const StreamLayout::Stream &s = layout.streams[i];
    if (avcodec_parameters_copy(st->codecpar, s.parameters.get()) < 0) return Status::NoMemory;
    st->r_frame_rate = s.realFrameRate;
    st->avg_frame_rate = s.averageFrameRate;
  }
  return Status::Ok;
}

// Opens segment i, probing its streams unless it has the last probed segment's.
Status OpenSegmentInput(ConcatJob &job, size_t i, Segment &seg) {
  if (i == 0 && job.firstSegment) {
    seg.in = std::move(job.firstSegment);
    seg.probed = true;
    return Status::Ok;
  }
  Status st = OpenInputFileUnprobed(job.segments[i].c_str(), seg.in);
  if (!IsOk(st)) return st;
  if (job.layout && HasLayout(seg.in.get(), *job.layout)) return AdoptLayout(seg.in.get(), *job.layout);
  st = ProbeStreams(seg.in);
  seg.probed = IsOk(st);
  return st;
}

// Opens segment i once for its video and its audio; it counts when it has either.
Status OpenSegment(ConcatJob &job, size_t i, Segment &seg) {
  const Status st = OpenSegmentInput(job, i, seg);
  if (!IsOk(st)) return st;
  AVFormatContext *out = job.out.get();
  const int audioOut = FindUsableAudioStream(out);
  const int videoOut = FindFirstStreamOfType(out, AVMEDIA_TYPE_VIDEO);
  seg.audio.outStream = audioOut < 0 ? nullptr : out->streams[audioOut];
  seg.video.outStream = videoOut < 0 ? nullptr : out->streams[videoOut];
  seg.audio.concat = &job.audio;
  seg.video.concat = &job.video;
  if (!seg.probed) {
    seg.audio.inIndex = job.layout->audioIndex;
    seg.video.inIndex = job.layout->videoIndex;
    return Status::Ok;
  }
  seg.audio.inIndex = SegmentAudioStream(seg.in.get());
  seg.video.inIndex = SegmentVideoStream(seg.in.get());
  job.layout = LayoutOf(seg.in.get(), seg.video.inIndex, seg.audio.inIndex);
  if (seg.audio.inIndex < 0 && seg.video.inIndex < 0) return Status::VideoStreamNotFound;
  if (seg.video.inIndex >= 0 && seg.video.outStream) {
    CopyCodingParameters(seg.video.outStream->codecpar, seg.in->streams[seg.video.inIndex]->codecpar);
  }
  return Status::Ok;
}

SegmentTrack *TrackOf(Segment &seg, int streamIndex) {
  if (streamIndex < 0) return nullptr;
  if (streamIndex == seg.audio.inIndex) return &seg.audio;
  if (streamIndex == seg.video.inIndex) return &seg.video;
  return nullptr;
}

// ---- The timeline ---------------------------------------------------------------
// Each segment is moved as a whole, so its audio and video keep their offset to
// each other; only the move between segments changes. Where a kind of stream
// would land (its start in the segment plus the current move) is compared with
// where that kind ended in the output:
//  - the first segment written always lands at 0: a stream's start offset (10 s,
//    near the 33-bit wrap) is no lead-in of the output;
//  - a jump back of more than kJumpSteps packet steps in either kind (an HLS
//    discontinuity, a 33-bit wrap between segments, the same segment twice)
//    always continues from where the output ended;
//  - a jump ahead of more than kJumpSteps steps in every kind (a missing segment)
//    is closed only when timestamps are rebased;
//  - anything smaller is left alone; a stray packet that would still not follow
//    the one before it is raised by KeepDtsIncreasing.
// Closing or continuing moves the segment by the smallest amount after which no
// kind starts before its end, so the kind that was nearest lands exactly on it.

// Where kind t of the segment starts (its stream's start, else the first packet's
// pts when that packet is of this kind) minus where the output's kind ended, with
// the current move, in the output stream's time base; nothing when unknown.
std::optional<int64_t> LandingGap(const Segment &seg, const SegmentTrack &t, const AVPacket *first) {
  if (t.inIndex < 0 || !t.outStream) return std::nullopt;
  const AVStream *in = seg.in->streams[t.inIndex];
  int64_t start = in->start_time;
  if (start == AV_NOPTS_VALUE && first->stream_index == t.inIndex) start = first->pts;
  if (start == AV_NOPTS_VALUE) return std::nullopt;
  return RescaleTs(start, in->time_base, t.outStream->time_base) + t.concat->shift - t.concat->end;
}

// Decides the segment's move on its first packet with a pts (see above).
void PlaceSegment(const ConcatJob &job, Segment &seg, const AVPacket *first) {
  seg.placed = true;
  const SegmentTrack *nearest = nullptr;
  int64_t nearestGap = 0;
  bool jumpedBack = false;
  bool jumpedAhead = true;
  for (const SegmentTrack *t : {&seg.video, &seg.audio}) {
    const std::optional<int64_t> gap = LandingGap(seg, *t, first);
    if (!gap) continue;
    const int64_t tolerance = kJumpSteps * std::max<int64_t>(t->concat->step, 1);
    if (*gap < -tolerance) jumpedBack = true;
    if (*gap <= tolerance) jumpedAhead = false;
    if (!nearest || av_compare_ts(*gap, t->outStream->time_base, nearestGap, nearest->outStream->time_base) < 0) {
      nearest = t;
      nearestGap = *gap;
    }
  }
  if (!nearest) return;
  const bool move = !job.started || jumpedBack || (job.rebaseTimestamps && jumpedAhead);
  if (!move) return;
  // Every kind of the output moves, also one this segment lacks, so the next
  // segment finds one timeline.
  for (const SegmentTrack *t : {&seg.video, &seg.audio}) {
    if (t->outStream) t->concat->shift -= RescaleTs(nearestGap, nearest->outStream->time_base, t->outStream->time_base);
  }
}

// Notes where the kind has got to after pkt, whose dts follows previousDts, is written.
void AdvanceTrack(SegmentTrack &track, const AVPacket *pkt, int64_t previousDts) {
  ConcatTrack &c = *track.concat;
  if (pkt->duration > 0) {
    c.step = pkt->duration;
  } else if (previousDts != AV_NOPTS_VALUE) {
    c.step = pkt->dts - previousDts;
  }
  c.end = std::max(c.end, pkt->pts + (pkt->duration > 0 ? pkt->duration : c.step));
  track.segmentDuration += pkt->duration;
}

// Places, rescales, moves and writes one packet of a segment; packets of other
// streams, of a kind the output lacks, or without pts are dropped. A stray packet
// at or before the last one of its kind is raised by the one dts rule.
Status AppendPacket(ConcatJob &job, Segment &seg, AVPacket *pkt) {
  SegmentTrack *track = TrackOf(seg, pkt->stream_index);
  if (!track) return Status::Ok;
  if (!track->outStream || pkt->pts == AV_NOPTS_VALUE) return Status::Ok;
  if (!seg.placed) PlaceSegment(job, seg, pkt);
  const bool dtsUnknown = pkt->dts == AV_NOPTS_VALUE;
  RescalePacketTimes(pkt, seg.in->streams[pkt->stream_index]->time_base, track->outStream->time_base);
  if (dtsUnknown || pkt->pts < pkt->dts) pkt->dts = pkt->pts;
  ShiftPacketTimes(pkt, -track->concat->shift);
  const int64_t previousDts = track->concat->lastDts;
  KeepDtsIncreasing(pkt, track->concat->lastDts);
  AdvanceTrack(*track, pkt, previousDts);
  job.started = true;
  pkt->stream_index = track->outStream->index;
  // The write takes the packet's reference.
  return job.out.Write(pkt);
}

bool StartKnown(const Segment &seg, const SegmentTrack &t) {
  return t.inIndex < 0 || seg.in->streams[t.inIndex]->start_time != AV_NOPTS_VALUE;
}

// A segment joined without a probe learns where a stream starts from its first
// packet: reads ahead until its video and audio start are known (or as far as
// the probe would have read), keeping the packets in order. A kind still without
// a start then starts with the other, as the probe would have said.
Status ReadAhead(Segment &seg, std::deque<PacketPtr> &ahead) {
  int64_t bytes = 0;
  while (!(StartKnown(seg, seg.video) && StartKnown(seg, seg.audio)) && bytes < kReadAheadBytes) {
    PacketPtr pkt = MakePacket();
    if (!pkt) return Status::NoMemory;
    const Status read = ReadPacket(seg.in.get(), pkt.get());
    if (read == Status::Eof) break;
    if (!IsOk(read)) return read;
    bytes += pkt->size;
    ahead.push_back(std::move(pkt));
  }
  if (seg.video.inIndex < 0 || seg.audio.inIndex < 0) return Status::Ok;
  AVStream *video = seg.in->streams[seg.video.inIndex];
  AVStream *audio = seg.in->streams[seg.audio.inIndex];
  if (video->start_time == AV_NOPTS_VALUE && audio->start_time != AV_NOPTS_VALUE)
    video->start_time = RescaleTs(audio->start_time, audio->time_base, video->time_base);
  if (audio->start_time == AV_NOPTS_VALUE && video->start_time != AV_NOPTS_VALUE)
    audio->start_time = RescaleTs(video->start_time, video->time_base, audio->time_base);
  return Status::Ok;
}

// Reads a segment to its end: the end of its file, or where it is cut off or
// damaged. Ok then; the failure of a read or a write otherwise.
Status ReadSegmentPackets(ConcatJob &job, Segment &seg) {
  std::deque<PacketPtr> ahead;
  if (!seg.probed) {
    const Status st = ReadAhead(seg, ahead);
    if (!IsOk(st)) return st;
  }
  for (; !ahead.empty(); ahead.pop_front()) {
    const Status st = AppendPacket(job, seg, ahead.front().get());
    if (!IsOk(st)) return st;
  }
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  for (;;) {
    const Status read = ReadPacket(seg.in.get(), pkt.get());
    if (read == Status::Eof) return Status::Ok;
    if (!IsOk(read)) return read;
    const Status st = AppendPacket(job, seg, pkt.get());
    av_packet_unref(pkt.get());
    if (!IsOk(st)) return st;
  }
}

// The output streams state this segment's written length and start at 0.
void FinishSegmentStreams(Segment &seg) {
  for (SegmentTrack *track : {&seg.video, &seg.audio}) {
    if (!track->outStream) continue;
    track->outStream->start_time = 0;
    track->outStream->duration = track->segmentDuration;
  }
}

// Appends segment i. A segment that cannot be opened as media is passed over when
// it is no media at all (end of file, invalid data) or the last of the list; any
// other failure to open it, and any failure while it is read or written, ends the join.
Status AppendSegment(ConcatJob &job, size_t i) {
  Segment seg;
  Status st = OpenSegment(job, i, seg);
  if (!IsOk(st)) {
    const bool passable = st == Status::Eof || st == Status::InvalidData || i + 1 == job.segments.size();
    return passable ? Status::Ok : st;
  }
  st = ReadSegmentPackets(job, seg);
  FinishSegmentStreams(seg);
  if (IsOk(st)) job.appended.push_back(i);
  return st;
}

// Appends every segment in order, with a progress report after each.
Status AppendAllSegments(ConcatJob &job, ProgressReporter &progress) {
  const size_t count = job.segments.size();
  for (size_t i = 0; i < count; ++i) {
    const bool opened = i == 0 && job.firstSegment;
    // Only regular files: a missing one is skipped, a pipe or a device could block.
    if (opened || platform::GetFileKind(job.segments[i].c_str()) == platform::FileKind::Regular) {
      const Status st = AppendSegment(job, i);
      if (!IsOk(st)) return st;
    }
    if (progress.ReportPosition(static_cast<int64_t>(i + 1), static_cast<int64_t>(count))) {
      job.stopped = true;
      break;
    }
  }
  return Status::Ok;
}

// A finished concatenation that ran through the whole list lets the segments it
// read go, if asked.
void DeleteAppendedSegments(const ConcatJob &job) {
  if (job.stopped) return;
  for (size_t i : job.appended) platform::DeleteFile(job.segments[i].c_str());
}

}  // namespace

const char *ConcatMuxerName(const char *outputPath) noexcept {
  if (!outputPath) return "mp4";
  const std::string_view path(outputPath);
  const size_t dot = path.rfind('.');
  const size_t slash = path.find_last_of("/\\");
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return "mp4";
  const std::string_view extension = path.substr(dot + 1);
  for (std::string_view ts : kTransportStreamExtensions) {
    if (platform::CompareNoCase(extension, ts) == 0) return "mpegts";
  }
  return "mp4";
}

Status ConcatenateSegments(const std::vector<std::string> &segments, const char *outputPath, bool deleteSegments,
                           bool rebaseTimestamps, ProgressCallback callback, uintptr_t user) {
  if (!outputPath || segments.empty()) return Status::Ok;
  ProgressReporter progress(callback, user);
  ConcatJob job(segments, rebaseTimestamps);
  Status st = RefuseOutputNamingSegment(outputPath, segments);
  if (IsOk(st)) st = job.out.Create(ConcatMuxerName(outputPath), outputPath);
  if (IsOk(st)) st = AddStreamsFromFirstSegment(job);
  if (IsOk(st)) st = job.out.WriteHeader();
  if (IsOk(st)) st = AppendAllSegments(job, progress);
  if (IsOk(st)) st = job.out.Finish();
  if (IsOk(st) && deleteSegments) DeleteAppendedSegments(job);
  return st;
}

}  // namespace mpg
