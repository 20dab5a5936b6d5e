// The merge with audio re-encode: video copied packet by packet, audio decoded,
// converted and encoded to AAC, both into "mp4", starting at 0 and ending together
// where the shorter input ends. Refuses an output path naming an input and audio
// that does not decode. The output is opened once both inputs and the codecs are
// set up; a later failure removes it, and a stop by the host leaves a finished file.
#include "merge/merge_reencode.h"

#include <algorithm>

#include "core/input.h"
#include "core/output_file.h"
#include "core/progress.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "codec/audio_reencoder.h"

namespace mpg {

namespace {

constexpr int64_t kDefaultAudioBitRate = 128000;
constexpr int kFallbackChannels = 2;

// What the re-encode adds to the merge job: the audio codec objects, the stream
// handles and timing, and the progress of one run. It writes the job's output. Positions are taken with each
// input's start offset removed, so both streams of the output start near 0 and
// keep their offset to each other.
struct ReencodeRun {
  ReencodeRun(OutputFile &output, ProgressCallback callback, uintptr_t user) noexcept
      : out(output), progress(callback, user) {}

  OutputFile &out;
  int videoIndex = -1;
  AVStream *inVideo = nullptr;
  AVStream *outVideo = nullptr;
  int audioIndex = -1;
  AVStream *inAudio = nullptr;
  AudioReencoder audio;
  int64_t durationSeconds = 0;
  ProgressReporter progress;

  // Video, in the video input's time base:
  int64_t videoOffset = 0;                // the video input's start
  int64_t videoPosition = 0;              // dts (else pts) of the last packet read
  int64_t videoEnd = AV_NOPTS_VALUE;      // largest pts + duration written
  bool videoIsPicture = false;            // a cover picture: no timeline to end the audio
  bool videoEnded = false;
  int64_t videoPackets = 0;               // written

  // Audio, in the encoder's time base (one tick per sample):
  int64_t audioOffset = 0;                // the audio input's start, in its own time base
  bool audioFinished = false;             // input read, decoded and encoded to its end
  bool audioEnded = false;                // encoder emptied too

  int64_t AudioPosition() const noexcept { return audio.Position(); }
  AVRational AudioTb() const noexcept { return audio.Encoder()->time_base; }
  AVRational VideoTb() const noexcept { return inVideo->time_base; }
};

// How a turn left the merge.
enum class Turn { Continue, Finished };

// The moving video when there is one, else a cover picture: a song's art still
// makes a picture track.
Status AddVideoStream(MergeJob &job, ReencodeRun &run) noexcept {
  run.videoIndex = FindMovingVideoStream(job.videoIn.get());
  if (run.videoIndex < 0) run.videoIndex = FindFirstStreamOfType(job.videoIn.get(), AVMEDIA_TYPE_VIDEO);
  if (run.videoIndex < 0) return Status::VideoStreamNotFound;
  run.inVideo = job.videoIn->streams[run.videoIndex];
  run.videoIsPicture = IsAttachedPicture(run.inVideo);
  // A copy needs the codec parameters alone, no decoder or encoder.
  const Status st = AddCopyStream(run.out.get(), run.inVideo, run.outVideo);
  if (!IsOk(st)) return st;
  run.outVideo->r_frame_rate = PlausibleFrameRate(run.inVideo->r_frame_rate, kVideoFallbackFrameRate);
  return Status::Ok;
}

// The audio file's richest stream and an AAC encoder for it at the decoder's rate
// and channel count and the audio file's overall bit rate.
Status AddAudioStream(MergeJob &job, ReencodeRun &run) noexcept {
  run.audioIndex = FindBestAudioStream(job.audioIn.get());
  if (run.audioIndex < 0) return Status::AudioStreamNotFound;
  run.inAudio = job.audioIn->streams[run.audioIndex];
  const Status st = run.audio.OpenDecoder(run.inAudio);
  if (!IsOk(st)) return st;
  const AVCodecContext *dec = run.audio.Decoder();
  if (dec->sample_rate <= 0) return StatusFromAv(AVERROR(EINVAL));
  AudioReencodeRequest req;
  req.codecId = AV_CODEC_ID_AAC;
  req.channels = dec->ch_layout.nb_channels > 0 ? dec->ch_layout.nb_channels : kFallbackChannels;
  req.bitRate = job.audioIn->bit_rate > 0 ? job.audioIn->bit_rate : kDefaultAudioBitRate;
  return run.audio.OpenEncoder(req, run.out.get());
}

// The decoder belongs to the stream FindBestAudioStream chose, so its packets are
// the ones read. The muxer may have given the audio stream a time base of its own:
// encoded packets then move from the encoder's to it as they are written.
void StartTiming(MergeJob &job, ReencodeRun &run) noexcept {
  run.videoOffset = InputStartOffset(job.videoIn.get(), {run.inVideo}, run.VideoTb());
  run.audioOffset = InputStartOffset(job.audioIn.get(), {run.inAudio}, run.inAudio->time_base);
  run.durationSeconds = MeasureMergeDuration(job.videoIn.get(), run.inVideo, job.audioIn.get(), run.inAudio);
}

// Reads the next packet of the video stream; nothing else of the video file.
Status ReadVideoPacket(MergeJob &job, const ReencodeRun &run, AVPacket *pkt) noexcept {
  for (;;) {
    const Status st = ReadPacket(job.videoIn.get(), pkt);
    if (!IsOk(st) || pkt->stream_index == run.videoIndex) return st;
    av_packet_unref(pkt);
  }
}

// True when the host asked to stop.
bool ReportVideoProgress(ReencodeRun &run, int64_t pts) noexcept {
  if (pts == AV_NOPTS_VALUE) return false;
  return run.progress.ReportPosition(TimestampToWholeSeconds(pts, run.VideoTb()), run.durationSeconds);
}

// Where a packet starts in decoding order: every picture it refers to comes before.
int64_t DecodeTs(const AVPacket *pkt) noexcept { return pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts; }

void NoteVideoEnd(ReencodeRun &run, const AVPacket *pkt) noexcept {
  const int64_t start = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
  if (start == AV_NOPTS_VALUE) return;
  const int64_t end = start + std::max<int64_t>(pkt->duration, 0);
  if (run.videoEnd == AV_NOPTS_VALUE || end > run.videoEnd) run.videoEnd = end;
}

// True once the audio has ended and this packet starts at or after its end: the
// video is cut where the audio stops, in decoding order, so every picture kept
// can be decoded. A video starting after the audio's end still keeps its first
// packet.
bool PastAudioEnd(const ReencodeRun &run, const AVPacket *pkt) noexcept {
  const int64_t ts = DecodeTs(pkt);
  return run.audioEnded && run.videoPackets > 0 && ts != AV_NOPTS_VALUE &&
         av_compare_ts(ts, run.VideoTb(), run.AudioPosition(), run.AudioTb()) >= 0;
}

// One video packet copied. The video's end, or once the audio has ended the first
// packet past it, finishes the video; a read that ends the input is its end.
Status VideoTurn(MergeJob &job, ReencodeRun &run, Turn &turn) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  Status st = ReadVideoPacket(job, run, pkt.get());
  if (st == Status::Eof) {
    run.videoEnded = true;
    // A merge never succeeds without the video it was given.
    if (run.videoPackets != 0) return Status::Ok;
    turn = Turn::Finished;
    return Status::VideoStreamNotFound;
  }
  if (!IsOk(st)) {
    turn = Turn::Finished;
    return st;
  }
  ShiftPacketTimes(pkt.get(), run.videoOffset);
  if (PastAudioEnd(run, pkt.get())) {
    run.videoEnded = true;
    return Status::Ok;
  }
  const int64_t readTs = DecodeTs(pkt.get());
  if (readTs != AV_NOPTS_VALUE) run.videoPosition = readTs;
  if (ReportVideoProgress(run, pkt->pts)) {
    turn = Turn::Finished;
    return Status::Ok;
  }
  NoteVideoEnd(run, pkt.get());
  pkt->stream_index = run.outVideo->index;
  RescalePacketTimes(pkt.get(), run.VideoTb(), run.outVideo->time_base);
  st = run.out.Write(pkt.get());
  if (!IsOk(st)) {
    turn = Turn::Finished;
    return st;
  }
  ++run.videoPackets;
  return Status::Ok;
}

// One audio packet read, decoded and queued, less the audio input's start, so the
// first one places the audio; an undecodable one is skipped. The input's end
// drains the decoder and encodes what is left.
Status QueueAudioPacket(MergeJob &job, ReencodeRun &run) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  Status st = Status::Ok;
  while (IsOk(st = ReadPacket(job.audioIn.get(), pkt.get())) && pkt->stream_index != run.audioIndex) {
    av_packet_unref(pkt.get());
  }
  if (st == Status::Eof) {
    run.audioFinished = true;
    return run.audio.Finish();
  }
  if (!IsOk(st)) return st;
  ShiftPacketTimes(pkt.get(), run.audioOffset);
  return run.audio.SendPacket(pkt.get());
}

Status DrainAudioEncoder(ReencodeRun &run) noexcept {
  if (run.audioEnded) return Status::Ok;
  run.audioEnded = true;
  const Status st = run.audio.DrainEncoder();
  return IsOk(st) ? WriteFinishedPackets(run.audio, run.out) : st;
}

// Reads and decodes audio up to the next encoder frame, then encodes and writes
// the whole frames queued. The audio's end empties the queue and the encoder.
Status AudioTurn(MergeJob &job, ReencodeRun &run, Turn &turn) noexcept {
  Status st = Status::Ok;
  while (IsOk(st) && !run.audioFinished && run.audio.QueuedSamples() < run.audio.FrameSamples()) {
    st = QueueAudioPacket(job, run);
  }
  if (IsOk(st)) st = run.audio.EncodeQueued();
  if (IsOk(st)) st = WriteFinishedPackets(run.audio, run.out);
  if (!IsOk(st)) {
    turn = Turn::Finished;
    return st;
  }
  if (!run.audioFinished) return Status::Ok;
  run.audioEnded = true;
  // An audio file that decodes to nothing is no audio for the merge.
  if (run.audio.SamplesEncoded() == 0) {
    turn = Turn::Finished;
    return Status::InvalidData;
  }
  return Status::Ok;
}

// True while the audio has not reached the end of the video, which ended first. A
// cover picture has no end: the audio then plays out.
bool AudioShortOfVideoEnd(const ReencodeRun &run) noexcept {
  if (run.videoIsPicture) return true;
  if (run.videoEnd == AV_NOPTS_VALUE) return false;
  return av_compare_ts(run.AudioPosition(), run.AudioTb(), run.videoEnd, run.VideoTb()) < 0;
}

// Which input the next turn reads: audio while the last video read is later than
// the audio encoded (the first turn, with no audio placed yet, reads audio), else
// video. Once one input has ended the other is read up to its end.
enum class Next { Audio, Video, Done };
Next NextTurn(const ReencodeRun &run) noexcept {
  if (run.videoEnded && run.audioEnded) return Next::Done;
  if (run.videoEnded) return AudioShortOfVideoEnd(run) ? Next::Audio : Next::Done;
  if (run.audioEnded) return Next::Video;
  if (!run.audio.Started()) return Next::Audio;
  return av_compare_ts(run.videoPosition, run.VideoTb(), run.AudioPosition(), run.AudioTb()) > 0 ? Next::Audio
                                                                                                  : Next::Video;
}

// Turns until both streams reach the point where the first input ends, or the host
// stops the merge; then the audio encoder is emptied and the trailer written. The
// last report goes out when the merge ran to its end, whichever input ended it.
Status MergeLoop(MergeJob &job, ReencodeRun &run) noexcept {
  Turn turn = Turn::Continue;
  Status st = Status::Ok;
  for (;;) {
    const Next next = NextTurn(run);
    if (next == Next::Done) break;
    st = next == Next::Audio ? AudioTurn(job, run, turn) : VideoTurn(job, run, turn);
    if (!IsOk(st)) return st;
    if (turn == Turn::Finished) break;
  }
  st = DrainAudioEncoder(run);
  if (IsOk(st)) st = run.out.Finish();
  if (IsOk(st) && !run.progress.StopRequested()) run.progress.ReportFinal();
  return st;
}

Status RunMerge(MergeJob &job, ReencodeRun &run, const char *videoPath, const char *audioPath,
                const char *outputPath) noexcept {
  if (!outputPath || !*outputPath) return Status::BadParameter;
  const char *inputs[] = {videoPath, audioPath};
  Status st = RefuseOutputNamingInput(outputPath, inputs);
  if (IsOk(st)) st = CreateOutputContext(job, outputPath);
  if (IsOk(st)) st = AddVideoStream(job, run);
  if (IsOk(st)) st = AddAudioStream(job, run);
  if (IsOk(st)) st = run.out.WriteHeader();
  if (IsOk(st)) {
    StartTiming(job, run);
    st = MergeLoop(job, run);
  }
  return st;
}

}  // namespace

Status MergeWithAudioReencode(MergeJob &job, const char *videoPath, const char *audioPath, const char *outputPath,
                              ProgressCallback callback, uintptr_t user) {
  ReencodeRun run(job.out, callback, user);
  return RunMerge(job, run, videoPath, audioPath, outputPath);
}

}  // namespace mpg
