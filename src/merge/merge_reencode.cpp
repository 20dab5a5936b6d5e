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
#include "codec/audio_path.h"
#include "codec/setup.h"

namespace mpg {

namespace {

constexpr int64_t kDefaultAudioBitRate = 128000;
constexpr int kFallbackChannels = 2;
// Frame rates at or above this are demuxer guesses (a 90 kHz clock), not rates.
constexpr double kMaxPlausibleFrameRate = 1000.0;
constexpr AVRational kVideoFallbackFrameRate = {25, 1};

AVRational PlausibleFrameRate(AVRational r, AVRational fallback) noexcept {
  return r.num != 0 && r.den != 0 && static_cast<double>(r.num) / r.den < kMaxPlausibleFrameRate ? r : fallback;
}

// What the re-encode adds to the merge job: the audio codec objects, the stream
// handles and timing, and the progress of one run. It writes the job's output. Positions are taken with each
// input's start offset removed, so both streams of the output start near 0 and
// keep their offset to each other.
struct ReencodeRun {
  ReencodeRun(OutputFile &output, ProgressCallback callback, uintptr_t user) noexcept
      : out(output), progress(callback, user) {}

  OutputFile &out;
  CodecContextPtr decCtx;
  CodecContextPtr encCtx;
  SwrPtr swr;
  AudioFifoPtr fifo;
  int videoIndex = -1;
  AVStream *inVideo = nullptr;
  AVStream *outVideo = nullptr;
  AudioTiming timing;
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
  int64_t audioStart = AV_NOPTS_VALUE;    // where the first audio packet read starts
  int64_t samplesEncoded = 0;             // samples handed to the encoder so far
  bool audioFinished = false;             // input read and decoded to its end
  bool audioEnded = false;                // FIFO and encoder emptied too

  int64_t AudioPosition() const noexcept {
    return (audioStart == AV_NOPTS_VALUE ? 0 : audioStart) + samplesEncoded;
  }
  AVRational AudioTb() const noexcept { return encCtx->time_base; }
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

// The audio file's richest stream, its decoder and an AAC encoder stream with the
// decoder's settings.
Status AddAudioStream(MergeJob &job, ReencodeRun &run) noexcept {
  AudioTiming &t = run.timing;
  const Status st = OpenBestAudioDecoder(job.audioIn.get(), t.inIndex, run.decCtx);
  if (!IsOk(st)) return st;
  t.inStream = job.audioIn->streams[t.inIndex];
  return AddAudioEncoderStream(run.out.get(), t.inStream, run.decCtx.get(), AV_CODEC_ID_AAC, t.outStream,
                               run.encCtx);
}

// The AAC encoder takes the decoder's rate and channel count and the audio file's
// overall bit rate; the header needs its opened configuration.
Status OpenAudioEncoder(MergeJob &job, ReencodeRun &run) noexcept {
  AVCodecContext *dec = run.decCtx.get(), *enc = run.encCtx.get();
  if (dec->sample_rate <= 0) return StatusFromAv(AVERROR(EINVAL));
  const int channels = dec->ch_layout.nb_channels > 0 ? dec->ch_layout.nb_channels : kFallbackChannels;
  av_channel_layout_uninit(&enc->ch_layout);
  av_channel_layout_default(&enc->ch_layout, channels);
  enc->sample_rate = dec->sample_rate;
  enc->bit_rate = job.audioIn->bit_rate > 0 ? job.audioIn->bit_rate : kDefaultAudioBitRate;
  // Frames are stamped by the samples they start at: one tick per sample.
  enc->time_base = AVRational{1, dec->sample_rate};
  AVStream *outStream = run.timing.outStream;
  outStream->time_base = enc->time_base;
  // MP4 keeps the AAC configuration in the header, not in the packets; the flag
  // works only when set before the encoder opens.
  if (run.out->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  const int ret = avcodec_open2(enc, enc->codec, nullptr);
  if (ret < 0) return StatusFromAv(ret);
  return PublishEncoderParameters(outStream, enc);
}

// The decoder belongs to the stream FindBestAudioStream chose, so its packets are
// the ones read. The muxer may have given the audio stream a time base of its own:
// encoded packets then move from the encoder's to it as they are written.
void StartTiming(MergeJob &job, ReencodeRun &run) noexcept {
  AudioTiming &t = run.timing;
  t.encoderTimeBase = run.encCtx->time_base;
  run.videoOffset = InputStartOffset(job.videoIn.get(), {run.inVideo}, run.VideoTb());
  run.durationSeconds = MeasureMergeDuration(job.videoIn.get(), run.inVideo,
                                             job.audioIn.get(), t.inStream);
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

// One input packet read, decoded and queued; an undecodable one is skipped.
// The first packet read places the audio: its pts less the audio input's start.
Status QueueAudioPacket(MergeJob &job, ReencodeRun &run) noexcept {
  const Status st = ReadDecodeConvertStore(run.fifo.get(), job.audioIn.get(), run.decCtx.get(), run.encCtx.get(),
                                           run.swr.get(), run.audioFinished, run.timing);
  if (!IsOk(st) || run.audioStart != AV_NOPTS_VALUE || !run.timing.ptsRescaled) return st;
  const int64_t firstPts = run.timing.nextFramePts;
  if (firstPts == AV_NOPTS_VALUE) {
    run.audioStart = 0;
    return st;
  }
  const AVRational tb = run.AudioTb();
  run.audioStart = RescaleTs(firstPts, run.timing.outStream->time_base, tb) -
                   InputStartOffset(job.audioIn.get(), {run.timing.inStream}, tb);
  return st;
}

// One frame from the FIFO encoded and written, stamped with the sample it starts
// at, so the audio keeps its length whatever the input's packet sizes.
Status EncodeQueuedFrame(ReencodeRun &run) noexcept {
  const int samples = std::min(AudioFrameSamples(run.encCtx.get()), av_audio_fifo_size(run.fifo.get()));
  run.timing.nextFramePts = run.AudioPosition();
  run.samplesEncoded += samples;
  return LoadEncodeWrite(run.fifo.get(), run.out, run.encCtx.get(), run.timing);
}

Status DrainAudioEncoder(ReencodeRun &run) noexcept {
  if (run.audioEnded) return Status::Ok;
  run.audioEnded = true;
  return EncodeAudioFrame(nullptr, run.out, run.encCtx.get(), run.timing);
}

// Reads, converts, encodes and writes audio frames up to the next encoder frame.
// The audio's end empties the FIFO and the encoder.
Status AudioTurn(MergeJob &job, ReencodeRun &run, Turn &turn) noexcept {
  AVAudioFifo *fifo = run.fifo.get();
  const int frameSamples = AudioFrameSamples(run.encCtx.get());
  while (!run.audioFinished && av_audio_fifo_size(fifo) < frameSamples) {
    const Status st = QueueAudioPacket(job, run);
    if (!IsOk(st)) {
      turn = Turn::Finished;
      return st;
    }
  }
  for (;;) {
    const int queued = av_audio_fifo_size(fifo);
    if (queued < frameSamples && !(run.audioFinished && queued > 0)) break;
    const Status st = EncodeQueuedFrame(run);
    if (!IsOk(st)) {
      turn = Turn::Finished;
      return st;
    }
  }
  if (!run.audioFinished) return Status::Ok;
  // An audio file that decodes to nothing is no audio for the merge.
  if (run.samplesEncoded == 0) {
    turn = Turn::Finished;
    return Status::InvalidData;
  }
  const Status st = DrainAudioEncoder(run);
  if (!IsOk(st)) turn = Turn::Finished;
  return st;
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
  if (run.audioStart == AV_NOPTS_VALUE) return Next::Audio;
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
  if (IsOk(st)) st = OpenAudioEncoder(job, run);
  if (IsOk(st)) st = OpenAudioResampler(run.decCtx.get(), run.encCtx.get(), run.swr, run.fifo);
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
