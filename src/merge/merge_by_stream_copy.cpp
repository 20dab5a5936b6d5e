// Stream-copy merge of a video file and an audio file into one file with video at
// index 0 and audio at index 1, packets interleaved by time, each input moved to
// start at 0. Refuses inputs without moving video or a usable audio stream, and
// fails when no video packet could be written. A failure leaves the output as far
// as it was written (finished with its trailer after a read error); a stop by the
// host finishes the file and succeeds.
#include "merge/merge_by_stream_copy.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "core/packet_write.h"
#include "core/progress.h"
#include "core/streams.h"
#include "core/timebase.h"

namespace mpg {

namespace {

// One input of the copy loop: the chosen stream, its output stream and what has
// been written from it.
struct CopyInput {
  AVFormatContext *in = nullptr;
  AVStream *inStream = nullptr;
  AVStream *outStream = nullptr;
  // The first packet, read ahead for the first-dts report and handed to the loop
  // as its first read, so nothing is lost.
  PacketPtr pending;
  int pendingResult = 0;
  bool hasPending = false;
  bool done = false;
  // Where the input file's timeline starts, in inStream's time base: subtracted
  // from every packet, so the output starts at 0 as the ffmpeg tool's does.
  int64_t startOffset = 0;
  // The dts the next packet would have, in inStream's time base: the last known
  // dts plus its packet's duration; AV_NOPTS_VALUE before the first packet.
  int64_t nextDts = AV_NOPTS_VALUE;
  // The last written packet's times, in the output time base.
  int64_t writtenPts = 0;
  int64_t writtenDts = 0;
  int64_t writtenCount = 0;
  int lastWriteError = 0;
};

struct CopyLoop {
  CopyInput video;
  CopyInput audio;
  int64_t durationSeconds = 0;
  int64_t frameIndex = 0;  // packets whose timestamps were made up, both inputs
  int32_t writeErrorCount = 0;
  Status readError = Status::Ok;
  bool stopped = false;  // the host asked to stop
};

Status OpenInputs(MergeJob &job, const char *videoPath, const char *audioPath, CopyLoop &loop) {
  Status st = OpenVideoInputForCopy(job.out.get(), videoPath, job.videoIn, loop.video.outStream);
  if (!IsOk(st)) return st;
  st = OpenAudioInputForCopy(job.out.get(), audioPath, job.audioIn, loop.audio.outStream);
  if (!IsOk(st)) return st;
  // The openers chose these very streams.
  loop.video.in = job.videoIn.get();
  loop.video.inStream = job.videoIn->streams[FindMovingVideoStream(job.videoIn.get())];
  loop.audio.in = job.audioIn.get();
  loop.audio.inStream = job.audioIn->streams[FindUsableAudioStream(job.audioIn.get())];
  // Each file's own start, as the ffmpeg tool subtracts it: two files downloaded
  // apart share no clock, so each starts at 0 (a DASH segment's 30 s lead is not
  // content), while an input whose streams start apart keeps that offset.
  for (CopyInput *input : {&loop.video, &loop.audio}) {
    input->startOffset = InputStartOffset(input->in, input->inStream->time_base);
    // The ffmpeg tool's copy timing takes the place of the openers' own choices
    // (the input's audio time base, one tick per VP9 frame), which round frames of
    // a variable rate onto one another.
    TakeCopyTiming(job.out.get(), input->outStream, input->inStream);
  }
  return Status::Ok;
}

Status OpenOutputFile(MergeJob &job, const char *outputPath) {
  AVFormatContext *out = job.out.get();
  if (!(out->oformat->flags & AVFMT_NOFILE)) {
    int ret = avio_open2(&out->pb, outputPath, AVIO_FLAG_WRITE, nullptr, nullptr);
    if (ret < 0) return StatusFromAv(ret);
  }
  // Lets the muxers take codecs they still mark experimental (Opus in MP4 on older
  // releases, say): the streams are copied as they are.
  out->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
  int ret = avformat_write_header(out, nullptr);
  if (ret < 0) return StatusFromAv(ret);
  for (unsigned i = 0; i < out->nb_streams; ++i) out->streams[i]->start_time = 0;
  return Status::Ok;
}

// Reads the next packet of the input's chosen stream, skipping the others; EAGAIN
// is retried. Returns 0 or the read error.
int ReadChosenPacket(CopyInput &input, AVPacket *pkt) {
  if (input.hasPending) {
    input.hasPending = false;
    if (input.pendingResult < 0) return input.pendingResult;
    av_packet_move_ref(pkt, input.pending.get());
    return 0;
  }
  for (;;) {
    int ret = av_read_frame(input.in, pkt);
    if (ret == AVERROR(EAGAIN)) continue;
    if (ret < 0) return ret;
    if (pkt->stream_index == input.inStream->index) return 0;
    av_packet_unref(pkt);
  }
}

// Takes the first packet of the input ahead of the loop and returns its dts
// (AV_NOPTS_VALUE when there is none).
Status PrimeFirstPacket(CopyInput &input, int64_t &firstDts) {
  firstDts = AV_NOPTS_VALUE;
  input.pending = MakePacket();
  if (!input.pending) return Status::NoMemory;
  input.pendingResult = ReadChosenPacket(input, input.pending.get());
  input.hasPending = true;
  if (input.pendingResult >= 0) firstDts = input.pending->dts;
  return Status::Ok;
}

void ReportFirstDts(ProgressReporter &progress, const char *kind, int64_t dts, AVRational tb) {
  if (dts == 0 || dts == AV_NOPTS_VALUE) return;
  // The time is the dts over the time-base denominator, as the report always gave it.
  const double seconds = tb.den != 0 ? static_cast<double>(dts) / tb.den : 0.0;
  // "video.first_dts=" + 20 digits and a sign + " time=" + %g's at most 13: ample.
  char text[96];
  const int length = std::snprintf(text, sizeof text, "%s.first_dts=%" PRId64 " time=%g", kind, dts, seconds);
  if (length < 0) return;
  progress.ReportText(text);
}

// The merge length for progress, measured on inputs of its own: the measure seeks,
// and a seek back to 0 does not always return to the first packet (it lands on the
// key frame at or before 0, past an edit list's lead-in, or fails and leaves the
// input at its end). The copy reads its inputs from their first packet unmoved.
// 0 when either file cannot be opened again.
int64_t MeasureLength(const char *videoPath, const char *audioPath) {
  InputFormatPtr video;
  InputFormatPtr audio;
  if (!IsOk(OpenInputFile(videoPath, video)) || !IsOk(OpenInputFile(audioPath, audio))) return 0;
  const int videoIndex = FindMovingVideoStream(video.get());
  const int audioIndex = FindUsableAudioStream(audio.get());
  if (videoIndex < 0 || audioIndex < 0) return 0;
  return MeasureMergeDuration(video.get(), video->streams[videoIndex], audio.get(), audio->streams[audioIndex]);
}

// The merge length for progress, then the two first-dts reports (audio first).
Status MeasureAndReport(CopyLoop &loop, const char *videoPath, const char *audioPath, ProgressReporter &progress) {
  loop.durationSeconds = MeasureLength(videoPath, audioPath);
  int64_t audioDts = AV_NOPTS_VALUE;
  int64_t videoDts = AV_NOPTS_VALUE;
  Status st = PrimeFirstPacket(loop.audio, audioDts);
  if (IsOk(st)) st = PrimeFirstPacket(loop.video, videoDts);
  if (!IsOk(st)) return st;
  if (progress.HasCallback()) {
    ReportFirstDts(progress, "audio", audioDts, loop.audio.inStream->time_base);
    ReportFirstDts(progress, "video", videoDts, loop.video.inStream->time_base);
  }
  return Status::Ok;
}

// The input that lags behind by written time; video on a tie.
CopyInput &ChooseInput(CopyLoop &loop) {
  if (loop.audio.done) return loop.video;
  if (loop.video.done) return loop.audio;
  return av_compare_ts(loop.video.writtenPts, loop.video.outStream->time_base, loop.audio.writtenPts,
                       loop.audio.outStream->time_base) <= 0
             ? loop.video
             : loop.audio;
}

// The end of one input. The end of file (or EIO, how some demuxers report a cut
// file) is normal; any other error ends the input too, and is the merge's result.
void EndInput(CopyLoop &loop, CopyInput &input, int readResult, ProgressReporter &progress) {
  input.done = true;
  const bool normalEnd = readResult == AVERROR_EOF || readResult == AVERROR(EIO);
  if (!normalEnd && IsOk(loop.readError)) loop.readError = StatusFromAv(readResult);
  if (&input == &loop.video && normalEnd) progress.ReportFinal();
}

// A packet without pts gets times made up from the stream's frame rate, one frame
// per such packet, counted across both inputs.
void MakeUpMissingTimes(CopyLoop &loop, const AVStream *st, AVPacket *pkt) {
  if (pkt->pts != AV_NOPTS_VALUE) return;
  const AVRational rate = st->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) return;  // no rate to count frames by
  const AVRational frameTb = av_inv_q(rate);
  pkt->pts = pkt->dts = RescaleTs(loop.frameIndex, frameTb, st->time_base);
  pkt->duration = RescaleDuration(1, frameTb, st->time_base);
  ++loop.frameIndex;
}

// A packet that states its pts but no dts (Matroska's first H.264 frames before
// their reordered successors) gets the dts the ffmpeg tool predicts: the previous
// packet's dts plus its duration, or, for the first packet, its pts less the
// frames the decoder holds back for reordering. Muxers that store dts need it;
// left unknown, the packets that follow fall behind the muxer's guess and are lost.
void FillMissingDts(CopyInput &input, AVPacket *pkt) {
  if (pkt->dts == AV_NOPTS_VALUE && pkt->pts != AV_NOPTS_VALUE) {
    if (input.nextDts != AV_NOPTS_VALUE) {
      pkt->dts = input.nextDts;
    } else {
      const AVRational rate = input.inStream->avg_frame_rate;
      const int64_t frame = rate.num > 0 && rate.den > 0
                                ? RescaleDuration(1, av_inv_q(rate), input.inStream->time_base)
                                : pkt->duration;
      pkt->dts = pkt->pts - input.inStream->codecpar->video_delay * frame;
    }
    pkt->dts = std::min(pkt->dts, pkt->pts);
  }
  if (pkt->dts != AV_NOPTS_VALUE) input.nextDts = pkt->dts + pkt->duration;
}

// Progress from a video packet's pts (moved to start at 0) over the merge length,
// capped at the scale. True when the host asked to stop.
bool ReportVideoProgress(const CopyLoop &loop, const AVPacket *pkt, ProgressReporter &progress) {
  if (!progress.HasCallback() || pkt->pts == AV_NOPTS_VALUE) return false;
  const int64_t seconds = TimestampToWholeSeconds(pkt->pts, loop.video.inStream->time_base);
  const int32_t scale = ProgressScale();
  const auto value = ProgressValue(seconds, loop.durationSeconds, scale);
  if (!value) return false;  // length unknown: only the final report
  return progress.ReportIfAdvanced(static_cast<int32_t>(std::min<int64_t>(*value, scale)));
}

// Forces the timestamps of a rescaled packet to move on from the last written
// packet of its kind. Only a packet that repeats (or, for audio, falls behind) what
// was written is touched, so a timeline moved to start at 0 (where written times
// are 0 or negative) passes unchanged. False when the packet must be dropped (pts
// before dts).
bool FixTimestamps(const CopyLoop &loop, const CopyInput &input, AVPacket *pkt) {
  // A packet without times (no frame rate to make them up from) is the muxer's to judge.
  if (input.writtenCount == 0 || pkt->duration == 0 || pkt->pts == AV_NOPTS_VALUE || pkt->dts == AV_NOPTS_VALUE)
    return pkt->pts >= pkt->dts;
  if (pkt->pts == input.writtenPts) pkt->pts = input.writtenPts + 1;
  // Audio dts may not fall back at all; video dts only may not repeat (a reordered
  // stream's dts steps are checked by the muxer).
  const bool repeatsDts = &input == &loop.audio ? pkt->dts <= input.writtenDts : pkt->dts == input.writtenDts;
  if (repeatsDts) pkt->dts = input.writtenPts + 1;
  return pkt->pts >= pkt->dts;
}

// Writes one packet. Write failures of packets with a known, non-negative pts are
// counted; one more than the job tolerates ends the merge with that error.
Status WriteCopiedPacket(MergeJob &job, CopyLoop &loop, CopyInput &input, AVPacket *pkt) {
  const int64_t rescaledPts = pkt->pts;
  input.writtenPts = pkt->pts;
  input.writtenDts = pkt->dts;
  // The write takes the packet's reference.
  const int ret = WritePacket(job.out.get(), pkt);
  av_packet_unref(pkt);
  if (ret >= 0) {
    ++input.writtenCount;
    return Status::Ok;
  }
  input.lastWriteError = ret;
  if (rescaledPts < 0) return Status::Ok;
  if (++loop.writeErrorCount > job.maxWriteErrors) return StatusFromAv(ret);
  return Status::Ok;
}

// Copies packets until both inputs have ended or the host stops the merge.
Status CopyPackets(MergeJob &job, CopyLoop &loop, ProgressReporter &progress) {
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  while (!(loop.video.done && loop.audio.done)) {
    CopyInput &input = ChooseInput(loop);
    const int ret = ReadChosenPacket(input, pkt.get());
    if (ret < 0) {
      EndInput(loop, input, ret, progress);
      continue;
    }
    FillMissingDts(input, pkt.get());
    ShiftPacketTimes(pkt.get(), input.startOffset);
    MakeUpMissingTimes(loop, input.inStream, pkt.get());
    if (&input == &loop.video && ReportVideoProgress(loop, pkt.get(), progress)) {
      loop.stopped = true;
      break;
    }
    RescalePacketTimes(pkt.get(), input.inStream->time_base, input.outStream->time_base);
    pkt->stream_index = input.outStream->index;
    if (!FixTimestamps(loop, input, pkt.get())) {
      av_packet_unref(pkt.get());
      continue;
    }
    Status st = WriteCopiedPacket(job, loop, input, pkt.get());
    if (!IsOk(st)) return st;
  }
  return Status::Ok;
}

// The trailer finishes the file after the loop (also after a stop or a read error).
// A run that ends without a single video packet written is no merge: the export
// was given video and must not succeed with audio alone.
Status FinishOutput(MergeJob &job, const CopyLoop &loop) {
  const int ret = av_write_trailer(job.out.get());
  if (!IsOk(loop.readError)) return loop.readError;
  if (loop.video.writtenCount == 0 && !loop.stopped) {
    return loop.video.lastWriteError < 0 ? StatusFromAv(loop.video.lastWriteError) : Status::VideoStreamNotFound;
  }
  return ret < 0 ? StatusFromAv(ret) : Status::Ok;
}

}  // namespace

Status MergeByStreamCopy(MergeJob &job, const char *videoPath, const char *audioPath, const char *outputPath,
                         ProgressCallback callback, uintptr_t user) {
  ProgressReporter progress(callback, user);
  CopyLoop loop;
  Status st = CreateOutputContext(job, outputPath);
  if (IsOk(st)) st = OpenInputs(job, videoPath, audioPath, loop);
  if (IsOk(st)) st = OpenOutputFile(job, outputPath);
  if (IsOk(st)) st = MeasureAndReport(loop, videoPath, audioPath, progress);
  if (IsOk(st)) st = CopyPackets(job, loop, progress);
  if (IsOk(st)) st = FinishOutput(job, loop);
  job.status = st;
  return st;
}

}  // namespace mpg
