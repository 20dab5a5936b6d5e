// Concatenation of segment files into one MPEG-TS or MP4 file without decoding.
// Refuses an output that names a segment and a first segment with neither video
// nor usable audio. A failure deletes the output and keeps every segment; a stop
// by the host finishes the file with the segments joined so far, and keeps them.
#include "merge/concatenate_segments.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "core/packet_write.h"
#include "core/progress.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "platform/platform.h"

namespace mpg {

namespace {

constexpr std::string_view kTransportStreamExtensions[] = {"ts", "m4t", "m2t", "m2ts", "mts"};
// Invalid data inside a segment that has already given more packets of a kind than
// this is a damaged spot to read past; earlier, the segment is not media.
constexpr int64_t kPacketsBeforeInvalidDataIsTolerated = 10;
// Reading past damage stops after this many invalid reads without a packet between.
constexpr int kMaxInvalidReadsInARow = 1000;
// A segment that starts more than this many packet steps away from where its kind
// of stream ended has jumped; a smaller overlap or gap is the jitter of segments
// cut from one stream (an AAC priming frame, a rounded duration).
constexpr int64_t kJumpSteps = 3;

// One kind of stream (video or audio) while a segment is appended.
struct SegmentTrack {
  int inIndex = -1;               // the segment's stream of this kind, -1 for none
  AVStream *outStream = nullptr;  // the output's stream of this kind, or none
  ConcatTrack *concat = nullptr;  // where the output's stream of this kind has got to
  int64_t packetCount = 0;        // packets read from this segment, dropped ones included
  int64_t segmentDuration = 0;    // written durations from this segment (output tb)
};

// One segment, opened once for both its video and its audio.
struct Segment {
  InputFormatPtr in;
  SegmentTrack video;
  SegmentTrack audio;
  bool placed = false;  // its place on the output's timeline is decided
};

// What the concatenation keeps beside the job for one call.
struct ConcatRun {
  explicit ConcatRun(const std::vector<std::string> &list) : segments(list) {}
  const std::vector<std::string> &segments;
  InputFormatPtr firstSegment;  // opened for the stream set-up, appended first
  bool outputOpened = false;
  bool stopped = false;
  std::vector<size_t> appended;  // segments read to their end
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

// A copy stream of in's stream index, from its codec parameters alone: joining
// needs neither encoder nor decoder. The input's time base is the muxer's hint.
Status AddSegmentCopyStream(AVFormatContext *out, const AVFormatContext *in, int index) {
  if (index < 0) return Status::VideoStreamNotFound;
  AVStream *st = nullptr;
  const Status status = AddCopyStream(out, in->streams[index], st);
  if (IsOk(status)) st->time_base = in->streams[index]->time_base;
  return status;
}

// Output streams from the first segment: its video (index 0) and then its audio,
// whichever it has. The segment stays open to be appended first.
Status AddStreamsFromFirstSegment(MergeJob &job, ConcatRun &run) {
  const char *path = run.segments.front().c_str();
  // Only a regular file: opening a pipe or a device could block.
  if (platform::GetFileKind(path) != platform::FileKind::Regular) return Status::VideoStreamNotFound;
  InputFormatPtr in;
  if (!IsOk(OpenInputFile(path, in))) return Status::VideoStreamNotFound;
  const int videoIndex = SegmentVideoStream(in.get());
  const int audioIndex = SegmentAudioStream(in.get());
  if (videoIndex < 0 && audioIndex < 0) return Status::VideoStreamNotFound;
  if (videoIndex >= 0) {
    const Status st = AddSegmentCopyStream(job.out.get(), in.get(), videoIndex);
    if (!IsOk(st)) return st;
  }
  if (audioIndex >= 0) {
    const Status st = AddSegmentCopyStream(job.out.get(), in.get(), audioIndex);
    if (!IsOk(st)) return st;
  }
  run.firstSegment = std::move(in);
  return Status::Ok;
}

Status OpenOutputFile(MergeJob &job, ConcatRun &run, const char *outputPath) {
  AVFormatContext *out = job.out.get();
  if (!(out->oformat->flags & AVFMT_NOFILE)) {
    const int ret = avio_open2(&out->pb, outputPath, AVIO_FLAG_WRITE, nullptr, nullptr);
    if (ret < 0) return StatusFromAv(ret);
    run.outputOpened = true;
  }
  const int ret = avformat_write_header(out, nullptr);
  if (ret < 0) return StatusFromAv(ret);
  job.concat = ConcatState{};
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
  dst->field_order = src->field_order;
  dst->color_range = src->color_range;
  dst->color_primaries = src->color_primaries;
  dst->color_trc = src->color_trc;
  dst->color_space = src->color_space;
  dst->chroma_location = src->chroma_location;
  dst->video_delay = src->video_delay;
  dst->sample_rate = src->sample_rate;
  dst->block_align = src->block_align;
  dst->frame_size = src->frame_size;
  dst->initial_padding = src->initial_padding;
  dst->trailing_padding = src->trailing_padding;
  dst->seek_preroll = src->seek_preroll;
}

// Opens segment i once for its video and its audio; it counts when it has either.
Status OpenSegment(MergeJob &job, ConcatRun &run, size_t i, Segment &seg) {
  if (i == 0 && run.firstSegment) {
    seg.in = std::move(run.firstSegment);
  } else {
    const Status st = OpenInputFile(run.segments[i].c_str(), seg.in);
    if (!IsOk(st)) return st;
  }
  AVFormatContext *out = job.out.get();
  const int audioOut = FindUsableAudioStream(out);
  const int videoOut = FindFirstStreamOfType(out, AVMEDIA_TYPE_VIDEO);
  seg.audio.outStream = audioOut < 0 ? nullptr : out->streams[audioOut];
  seg.video.outStream = videoOut < 0 ? nullptr : out->streams[videoOut];
  seg.audio.concat = &job.concat.audio;
  seg.video.concat = &job.concat.video;
  seg.audio.inIndex = SegmentAudioStream(seg.in.get());
  seg.video.inIndex = SegmentVideoStream(seg.in.get());
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
void PlaceSegment(const MergeJob &job, Segment &seg, const AVPacket *first) {
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
  const bool move = !job.concat.started || jumpedBack || (job.rebaseTimestamps && jumpedAhead);
  if (!move) return;
  // Every kind of the output moves, also one this segment lacks, so the next
  // segment finds one timeline.
  for (const SegmentTrack *t : {&seg.video, &seg.audio}) {
    if (t->outStream) t->concat->shift -= RescaleTs(nearestGap, nearest->outStream->time_base, t->outStream->time_base);
  }
}

// A muxer needs increasing dts: a stray packet at or before the last one written
// of its kind is raised to one tick after it (its pts with it, if need be).
void KeepDtsIncreasing(ConcatTrack &c, AVPacket *pkt) {
  if (c.lastDts != AV_NOPTS_VALUE && pkt->dts <= c.lastDts) pkt->dts = c.lastDts + 1;
  if (pkt->pts < pkt->dts) pkt->pts = pkt->dts;
}

// Notes where the kind has got to after pkt is written.
void AdvanceTrack(SegmentTrack &track, const AVPacket *pkt) {
  ConcatTrack &c = *track.concat;
  if (pkt->duration > 0) {
    c.step = pkt->duration;
  } else if (c.lastDts != AV_NOPTS_VALUE) {
    c.step = pkt->dts - c.lastDts;
  }
  c.end = std::max(c.end, pkt->pts + (pkt->duration > 0 ? pkt->duration : c.step));
  c.lastDts = pkt->dts;
  track.segmentDuration += pkt->duration;
}

// Places, rescales, moves and writes one packet of a segment; packets of other
// streams, of a kind the output lacks, or without pts are dropped. A failed write
// does not stop the segment.
void AppendPacket(MergeJob &job, Segment &seg, AVPacket *pkt) {
  SegmentTrack *track = TrackOf(seg, pkt->stream_index);
  if (!track) return;
  ++track->packetCount;
  if (!track->outStream || pkt->pts == AV_NOPTS_VALUE) return;
  if (!seg.placed) PlaceSegment(job, seg, pkt);
  const bool dtsUnknown = pkt->dts == AV_NOPTS_VALUE;
  RescalePacketTimes(pkt, seg.in->streams[pkt->stream_index]->time_base, track->outStream->time_base);
  if (dtsUnknown || pkt->pts < pkt->dts) pkt->dts = pkt->pts;
  ShiftPacketTimes(pkt, -track->concat->shift);
  KeepDtsIncreasing(*track->concat, pkt);
  AdvanceTrack(*track, pkt);
  job.concat.started = true;
  pkt->stream_index = track->outStream->index;
  // The write takes the packet's reference; its result does not end the segment.
  WritePacket(job.out.get(), pkt);
}

// Reads a segment to its end. Ok at the end of the file; the read error otherwise.
Status ReadSegmentPackets(MergeJob &job, Segment &seg) {
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  int invalidInARow = 0;
  for (;;) {
    int ret;
    do {
      ret = av_read_frame(seg.in.get(), pkt.get());
    } while (ret == AVERROR(EAGAIN));
    if (ret == AVERROR_INVALIDDATA &&
        (seg.audio.packetCount > kPacketsBeforeInvalidDataIsTolerated ||
         seg.video.packetCount > kPacketsBeforeInvalidDataIsTolerated) &&
        ++invalidInARow < kMaxInvalidReadsInARow) {
      continue;
    }
    // The end of file, or EIO as some demuxers report a cut file.
    if (ret == AVERROR_EOF || ret == AVERROR(EIO)) return Status::Ok;
    if (ret < 0) return StatusFromAv(ret);
    invalidInARow = 0;
    AppendPacket(job, seg, pkt.get());
    av_packet_unref(pkt.get());
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

Status AppendSegment(MergeJob &job, ConcatRun &run, size_t i) {
  Segment seg;
  Status st = OpenSegment(job, run, i, seg);
  if (!IsOk(st)) return st;
  st = ReadSegmentPackets(job, seg);
  FinishSegmentStreams(seg);
  return st;
}

// Appends every segment in order, with a progress report after each. A segment
// that cannot be read from its start (end of file, invalid data) is passed over; a
// failure of the last segment is ignored; any other failure ends the loop. The
// result is that of the last segment read.
Status AppendAllSegments(MergeJob &job, ConcatRun &run, ProgressReporter &progress) {
  const size_t count = run.segments.size();
  Status last = Status::Ok;
  for (size_t i = 0; i < count; ++i) {
    const bool opened = i == 0 && run.firstSegment;
    // Only regular files: a missing one is skipped, a pipe or a device could block.
    if (opened || platform::GetFileKind(run.segments[i].c_str()) == platform::FileKind::Regular) {
      const Status st = AppendSegment(job, run, i);
      const bool lastSegment = i + 1 == count;
      if (IsOk(st)) run.appended.push_back(i);
      if (!IsOk(st) && !lastSegment && st != Status::Eof && st != Status::InvalidData) return st;
      last = lastSegment ? Status::Ok : st;
    }
    const auto value = ProgressValue(static_cast<int64_t>(i + 1), static_cast<int64_t>(count), ProgressScale());
    if (value && *value <= ProgressScale() && progress.Report(static_cast<int32_t>(*value))) {
      run.stopped = true;
      break;
    }
  }
  return last;
}

Status FinishOutput(MergeJob &job) {
  const int ret = av_write_trailer(job.out.get());
  return ret < 0 ? StatusFromAv(ret) : Status::Ok;
}

// A failed concatenation leaves no output; a finished one that ran through the
// whole list lets the segments it read go, if asked.
void SettleFiles(MergeJob &job, const ConcatRun &run, Status st, const char *outputPath, bool deleteSegments) {
  if (!IsOk(st)) {
    job.out.reset();  // close the file before it goes
    // Only a file this call created or truncated; never a device named as output.
    if (run.outputOpened && platform::GetFileKind(outputPath) == platform::FileKind::Regular) {
      platform::DeleteFile(outputPath);
    }
    return;
  }
  if (!deleteSegments || run.stopped) return;
  for (size_t i : run.appended) platform::DeleteFile(run.segments[i].c_str());
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

Status ConcatenateSegments(MergeJob &job, const std::vector<std::string> &segments, const char *outputPath,
                           bool deleteSegments, ProgressCallback callback, uintptr_t user) {
  if (!outputPath || segments.empty()) return Status::Ok;
  ProgressReporter progress(callback, user);
  ConcatRun run(segments);
  Status st = RefuseOutputNamingSegment(outputPath, segments);
  if (IsOk(st)) st = CreateOutputContext(job, outputPath);
  if (IsOk(st)) st = AddStreamsFromFirstSegment(job, run);
  if (IsOk(st)) st = OpenOutputFile(job, run, outputPath);
  if (IsOk(st)) st = AppendAllSegments(job, run, progress);
  if (IsOk(st)) st = FinishOutput(job);
  SettleFiles(job, run, st, outputPath, deleteSegments);
  job.status = st;
  return st;
}

}  // namespace mpg
