// Stream-copy merge of a video file and an audio file into one file with video at
// index 0 and audio at index 1, packets interleaved by time, each input moved to
// start at 0. Refuses inputs without moving video or a usable audio stream, and
// fails when no video packet could be written. A failure removes the output file
// if the merge opened it; a cut-off or damaged input ends where it can no longer
// be read, and a stop by the host finishes the file and succeeds.
#include "merge/merge_by_stream_copy.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "core/input.h"
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
  Status pendingRead = Status::Ok;
  bool hasPending = false;
  bool done = false;
  // Where the input file's timeline starts, in inStream's time base: subtracted
  // from every packet, so the output starts at 0 as the ffmpeg tool's does.
  int64_t startOffset = 0;
  // The dts the next packet would have, in inStream's time base: the last known
  // dts plus its packet's duration; AV_NOPTS_VALUE before the first packet.
  int64_t nextDts = AV_NOPTS_VALUE;
  // The last written packet's pts and dts, in the output time base.
  int64_t writtenPts = 0;
  int64_t lastDts = AV_NOPTS_VALUE;
  int64_t writtenCount = 0;
};

struct CopyLoop {
  CopyInput video;
  CopyInput audio;
  int64_t durationSeconds = 0;
  int64_t frameIndex = 0;  // packets whose timestamps were made up, both inputs
  bool stopped = false;    // the host asked to stop
};

// The output with its two streams, and each input's start; nothing is opened yet.
Status CreateOutput(MergeJob &job, const char *outputPath, CopyLoop &loop) {
  Status st = CreateOutputContext(job, outputPath);
  if (IsOk(st)) st = AddVideoCopyStream(job.out.get(), job.videoIn.get(), loop.video.outStream);
  if (IsOk(st)) st = AddAudioCopyStream(job.out.get(), job.audioIn.get(), loop.audio.outStream);
  if (!IsOk(st)) return st;
  // The makers chose these very streams.
  loop.video.in = job.videoIn.get();
  loop.video.inStream = job.videoIn->streams[FindMovingVideoStream(job.videoIn.get())];
  loop.audio.in = job.audioIn.get();
  loop.audio.inStream = job.audioIn->streams[FindUsableAudioStream(job.audioIn.get())];
  // Each file's own start, as the ffmpeg tool subtracts it: two files downloaded
  // apart share no clock, so each starts at 0 (a DASH segment's 30 s lead is not
  // content), while an input whose streams start apart keeps that offset.
  for (CopyInput *input : {&loop.video, &loop.audio}) {
    input->startOffset = InputStartOffset(input->in, {input->inStream}, input->inStream->time_base);
  }
  return Status::Ok;
}

Status OpenOutputFile(MergeJob &job) {
  // Lets the muxers take codecs they still mark experimental (Opus in MP4 on older
  // releases, say): the streams are copied as they are.
  job.out->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
  const Status st = job.out.WriteHeader();
  if (!IsOk(st)) return st;
  for (unsigned i = 0; i < job.out->nb_streams; ++i) job.out->streams[i]->start_time = 0;
  return Status::Ok;
}

// Reads the next packet of the input's chosen stream, skipping the others.
// Ok, Eof at the end of the input, or the read's failure.
Status ReadChosenPacket(CopyInput &input, AVPacket *pkt) {
  if (input.hasPending) {
    input.hasPending = false;
    if (IsOk(input.pendingRead)) av_packet_move_ref(pkt, input.pending.get());
    return input.pendingRead;
  }
  for (;;) {
    const Status st = ReadPacket(input.in, pkt);
    if (!IsOk(st)) return st;
    if (pkt->stream_index == input.inStream->index) return Status::Ok;
    av_packet_unref(pkt);
  }
}

// Takes the first packet of the input ahead of the loop and returns its dts
// (AV_NOPTS_VALUE when there is none).
Status PrimeFirstPacket(CopyInput &input, int64_t &firstDts) {
  firstDts = AV_NOPTS_VALUE;
  input.pending = MakePacket();
  if (!input.pending) return Status::NoMemory;
  input.pendingRead = ReadChosenPacket(input, input.pending.get());
  input.hasPending = true;
  if (IsOk(input.pendingRead)) firstDts = input.pending->dts;
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

// The merge length for progress, measured on the open inputs (each measure seeks
// back to its stream's start), then the two first-dts reports (audio first).
Status MeasureAndReport(CopyLoop &loop, ProgressReporter &progress) {
  loop.durationSeconds = MeasureMergeDuration(loop.video.in, loop.video.inStream, loop.audio.in, loop.audio.inStream);
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

// Progress from a video packet's pts (moved to start at 0) over the merge length.
// True when the host asked to stop.
bool ReportVideoProgress(const CopyLoop &loop, const AVPacket *pkt, ProgressReporter &progress) {
  if (pkt->pts == AV_NOPTS_VALUE) return false;
  const int64_t seconds = TimestampToWholeSeconds(pkt->pts, loop.video.inStream->time_base);
  return progress.ReportPosition(seconds, loop.durationSeconds);
}

// Writes one packet, rescaled to its output stream, with its dts kept increasing.
Status WriteCopiedPacket(MergeJob &job, CopyInput &input, AVPacket *pkt) {
  RescalePacketTimes(pkt, input.inStream->time_base, input.outStream->time_base);
  pkt->stream_index = input.outStream->index;
  KeepDtsIncreasing(pkt, input.lastDts);
  input.writtenPts = pkt->pts;
  ++input.writtenCount;
  // The write takes the packet's reference.
  return job.out.Write(pkt);
}

// Copies packets until both inputs have ended or the host stops the merge.
Status CopyPackets(MergeJob &job, CopyLoop &loop, ProgressReporter &progress) {
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  while (!(loop.video.done && loop.audio.done)) {
    CopyInput &input = ChooseInput(loop);
    const Status read = ReadChosenPacket(input, pkt.get());
    if (read == Status::Eof) {
      input.done = true;
      if (&input == &loop.video) progress.ReportFinal();
      continue;
    }
    if (!IsOk(read)) return read;
    FillMissingDts(input, pkt.get());
    ShiftPacketTimes(pkt.get(), input.startOffset);
    MakeUpMissingTimes(loop, input.inStream, pkt.get());
    if (&input == &loop.video && ReportVideoProgress(loop, pkt.get(), progress)) {
      loop.stopped = true;
      break;
    }
    const Status st = WriteCopiedPacket(job, input, pkt.get());
    if (!IsOk(st)) return st;
  }
  return Status::Ok;
}

// The trailer finishes the file after the loop (also after a stop). A run that
// ends without a single video packet is no merge: the export was given video and
// must not succeed with audio alone.
Status FinishOutput(MergeJob &job, const CopyLoop &loop) {
  if (loop.video.writtenCount == 0 && !loop.stopped) return Status::VideoStreamNotFound;
  return job.out.Finish();
}

}  // namespace

Status AddVideoCopyStream(AVFormatContext *out, const AVFormatContext *in, AVStream *&outStream) noexcept {
  outStream = nullptr;
  // A cover picture has one packet and no timeline: it is not the video.
  const int index = FindMovingVideoStream(in);
  if (index < 0) return Status::VideoStreamNotFound;
  return AddCopyStream(out, in->streams[index], outStream);
}

Status AddAudioCopyStream(AVFormatContext *out, const AVFormatContext *in, AVStream *&outStream) noexcept {
  outStream = nullptr;
  const int index = FindUsableAudioStream(in);
  if (index < 0) return Status::AudioStreamNotFound;
  return AddCopyStream(out, in->streams[index], outStream);
}

Status MergeByStreamCopy(MergeJob &job, const char *outputPath, ProgressCallback callback, uintptr_t user) {
  ProgressReporter progress(callback, user);
  CopyLoop loop;
  Status st = CreateOutput(job, outputPath, loop);
  if (IsOk(st)) st = MeasureAndReport(loop, progress);
  if (IsOk(st)) st = OpenOutputFile(job);
  if (IsOk(st)) st = CopyPackets(job, loop, progress);
  if (IsOk(st)) st = FinishOutput(job, loop);
  return st;
}

}  // namespace mpg
