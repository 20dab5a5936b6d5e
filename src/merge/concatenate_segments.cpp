// Concatenation of segment files into one MPEG-TS or MP4 file without decoding.
// Refuses an output that names a segment and a first segment with neither video
// nor usable audio. A failure deletes the output and keeps every segment; a stop
// by the host finishes the file with the segments joined so far, and keeps them.
#include "merge/concatenate_segments.h"

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
// Start offsets between audio and video below a tenth of a second are left alone.
constexpr AVRational kAlignmentThreshold = {1, 10};

// One kind of stream (video or audio) while a segment is appended.
struct SegmentTrack {
  int inIndex = -1;               // the segment's stream of this kind, -1 for none
  AVStream *outStream = nullptr;  // the output's stream of this kind, or none
  ConcatTrack *concat = nullptr;  // bookkeeping carried across segments
  int64_t packetCount = 0;        // packets read from this segment, dropped ones included
  bool prevEndTaken = false;
  int64_t prevEnd = 0;          // the output stream's end before this segment (output tb)
  int64_t delay = 0;            // ticks (output tb) this segment's packets move later
  int64_t segmentDuration = 0;  // written durations from this segment (output tb)
};

// One segment, opened once for both its video and its audio.
struct Segment {
  InputFormatPtr in;
  SegmentTrack video;
  SegmentTrack audio;
  bool alignmentDecided = false;
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

// Output streams from the first segment: its video (index 0) and then its audio,
// whichever it has. The segment stays open to be appended first.
Status AddStreamsFromFirstSegment(MergeJob &job, ConcatRun &run) {
  const char *path = run.segments.front().c_str();
  // Only a regular file: opening a pipe or a device could block.
  if (platform::GetFileKind(path) != platform::FileKind::Regular) return Status::VideoStreamNotFound;
  InputFormatPtr in;
  if (!IsOk(OpenInputFile(path, in))) return Status::VideoStreamNotFound;
  AVStream *videoOut = nullptr;
  AVStream *audioOut = nullptr;
  const Status videoSt = AddVideoCopyStream(job.out.get(), in.get(), videoOut);
  const Status audioSt = AddAudioCopyStream(job.out.get(), in.get(), audioOut);
  if (!IsOk(videoSt) && !IsOk(audioSt)) return Status::VideoStreamNotFound;
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

// The audio role of a segment's open: its first usable audio stream, which must
// have a codec the linked libavcodec can name. The index is kept even when not.
Status FindSegmentAudio(AVFormatContext *in, int &audioIndex) {
  audioIndex = FindUsableAudioStream(in);
  if (audioIndex < 0) return Status::AudioStreamNotFound;
  if (!avcodec_find_encoder(in->streams[audioIndex]->codecpar->codec_id)) return Status::Unknown;
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

// The video role of a segment's open: its first video stream, whose codec the
// linked libavcodec must name; its coding parameters go to videoOut when the
// output has video. The index is kept even when the codec check fails.
Status OpenSegmentVideoInput(AVFormatContext *in, AVStream *videoOut, int &videoIndex) {
  videoIndex = FindFirstStreamOfType(in, AVMEDIA_TYPE_VIDEO);
  if (videoIndex < 0) return Status::VideoStreamNotFound;
  const AVCodecParameters *par = in->streams[videoIndex]->codecpar;
  if (!avcodec_find_encoder(par->codec_id)) return Status::Unknown;
  if (videoOut) CopyCodingParameters(videoOut->codecpar, par);
  return Status::Ok;
}

// Opens segment i once for both roles. It counts when either role does; packets
// of both noted streams are appended in any case.
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
  const Status audioSt = FindSegmentAudio(seg.in.get(), seg.audio.inIndex);
  const Status videoSt = OpenSegmentVideoInput(seg.in.get(), seg.video.outStream, seg.video.inIndex);
  if (!IsOk(audioSt) && !IsOk(videoSt)) return videoSt;
  return Status::Ok;
}

SegmentTrack *TrackOf(Segment &seg, int streamIndex) {
  if (streamIndex < 0) return nullptr;
  if (streamIndex == seg.audio.inIndex) return &seg.audio;
  if (streamIndex == seg.video.inIndex) return &seg.video;
  return nullptr;
}

// Pulls a segment whose first timestamp jumps ahead of the previous segment by more
// than three packet steps back to one step after it; a jump back or a smaller one
// is left alone. Works on the timestamps as read.
void RebaseTimestamps(size_t i, SegmentTrack &track, AVPacket *pkt) {
  ConcatTrack &c = *track.concat;
  if (i > 0 && track.packetCount == 1 && pkt->pts > c.lastReadPts + 3 * c.ptsStep) {
    c.ptsOffset += pkt->pts - c.lastReadPts - c.ptsStep;
    if (pkt->dts != AV_NOPTS_VALUE) c.dtsOffset += pkt->dts - c.lastReadPts - c.ptsStep;
  }
  c.ptsStep = pkt->pts - c.lastReadPts;
  c.lastReadPts = pkt->pts;
  pkt->pts -= c.ptsOffset;
  if (pkt->dts != AV_NOPTS_VALUE) pkt->dts -= c.dtsOffset;
}

// Ticks (in earlierTb) from the earlier end to the later one, or 0 below the
// alignment threshold.
int64_t LagTicks(int64_t laterEnd, AVRational laterTb, int64_t earlierEnd, AVRational earlierTb) {
  const int64_t lag = RescaleTs(laterEnd, laterTb, earlierTb) - earlierEnd;
  return av_compare_ts(lag, earlierTb, 1, kAlignmentThreshold) < 0 ? 0 : lag;
}

// When the output's audio and video ended apart before this segment, the kind that
// ended first is moved later by the difference, so the two start together again.
void DecideAlignment(Segment &seg) {
  seg.alignmentDecided = true;
  // A kind with nothing written yet has no end to align to.
  if (seg.audio.prevEnd == 0 || seg.video.prevEnd == 0) return;
  const AVRational audioTb = seg.audio.outStream->time_base;
  const AVRational videoTb = seg.video.outStream->time_base;
  const int order = av_compare_ts(seg.audio.prevEnd, audioTb, seg.video.prevEnd, videoTb);
  if (order > 0) seg.video.delay = LagTicks(seg.audio.prevEnd, audioTb, seg.video.prevEnd, videoTb);
  if (order < 0) seg.audio.delay = LagTicks(seg.video.prevEnd, videoTb, seg.audio.prevEnd, audioTb);
}

// Shifts a rescaled packet by its kind's delay and forces its timestamps past the
// end of what was written of its kind.
void MakeContinuous(SegmentTrack &track, AVPacket *pkt, bool dtsUnknown) {
  ConcatTrack &c = *track.concat;
  pkt->pts += track.delay;
  pkt->dts += track.delay;
  if (c.ptsEnd != 0 && c.ptsEnd >= pkt->pts) pkt->pts += 1;
  if (c.dtsEnd != 0 && c.dtsEnd >= pkt->dts) pkt->dts = c.dtsEnd + 1;
  if (pkt->pts < pkt->dts) pkt->pts = pkt->dts;
  if (dtsUnknown) pkt->dts = pkt->pts;
  track.segmentDuration += pkt->duration;
  const int64_t last = pkt->duration != 0 ? pkt->duration - 1 : 0;
  c.ptsEnd = pkt->pts + last;
  c.dtsEnd = pkt->dts + last;
}

// Rebases, rescales, aligns and writes one packet of segment i; packets of other
// streams, of a kind the output lacks, or without pts are dropped. A failed write
// does not stop the segment.
void AppendPacket(MergeJob &job, size_t i, Segment &seg, AVPacket *pkt) {
  SegmentTrack *track = TrackOf(seg, pkt->stream_index);
  if (!track) return;
  ++track->packetCount;
  if (!track->outStream) return;
  if (i > 0 && !track->prevEndTaken) {
    track->prevEndTaken = true;
    track->prevEnd = track->concat->ptsEnd;
  }
  if (job.rebaseTimestamps && pkt->pts != AV_NOPTS_VALUE) RebaseTimestamps(i, *track, pkt);
  if (pkt->pts == AV_NOPTS_VALUE) return;
  const bool dtsUnknown = pkt->dts == AV_NOPTS_VALUE;
  if (i > 0 && !seg.alignmentDecided && seg.audio.prevEndTaken && seg.video.prevEndTaken) DecideAlignment(seg);
  RescalePacketTimes(pkt, seg.in->streams[pkt->stream_index]->time_base, track->outStream->time_base);
  if (dtsUnknown || pkt->pts < pkt->dts) pkt->dts = pkt->pts;
  pkt->stream_index = track->outStream->index;
  MakeContinuous(*track, pkt, dtsUnknown);
  // The write takes the packet's reference; its result does not end the segment.
  WritePacket(job.out.get(), pkt);
}

// Reads segment i to its end. Ok at the end of the file; the read error otherwise.
Status ReadSegmentPackets(MergeJob &job, size_t i, Segment &seg) {
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
    AppendPacket(job, i, seg, pkt.get());
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
  st = ReadSegmentPackets(job, i, seg);
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
