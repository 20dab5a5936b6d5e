// MP3 conversion of a file's best audio stream. Refuses an output path that names
// the input and an input without audio. The output file is opened once the
// decoder, encoder and resampler are open; a later failure removes it, and a stop
// by the host leaves a finished, shorter MP3.
#include "transcode/mp3_convert.h"

#include <algorithm>

#include "core/input.h"
#include "core/output_file.h"
#include "core/progress.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "codec/audio_path.h"
#include "codec/audio_reencoder.h"
#include "codec/setup.h"

namespace mpg {

namespace {

// Bit rates below and above these are not taken from the input as they stand.
constexpr int64_t kMinUsableBitRate = 32000;
constexpr int64_t kMaxUsableBitRate = 256000;
constexpr int64_t kDefaultBitRate = 128000;
// Low sample rates cannot carry high bit rates: MPEG-2.5 (up to 12000 Hz) and
// MPEG-2 (up to 24000 Hz) layer III.
constexpr int32_t kMpeg25MaxRate = 12000;
constexpr int64_t kMpeg25MaxBitRate = 64000;
constexpr int32_t kMpeg2MaxRate = 24000;
constexpr int64_t kMpeg2MaxBitRate = 160000;
constexpr int32_t kUnknownRateAssumed = 44100;
// A progress report goes out at least this often (in encoded frames), so the host
// can stop a job whose value does not move.
constexpr int kReportEveryPasses = 20;

// One export call's conversion. Members are destroyed in reverse order: the
// codecs, the output (removed unless finished), then the input.
struct Mp3Job {
  Mp3Job(int32_t bitRate, ProgressCallback callback, uintptr_t user) noexcept
      : requestedBitRate(bitRate), progress(callback, user) {}

  int32_t requestedBitRate;
  InputFormatPtr in;
  OutputFile out;
  int audioIndex = -1;
  AudioReencoder audio;
  ProgressReporter progress;
  int passesSinceReport = 0;
};

bool IsUsableBitRate(int64_t rate) noexcept { return rate >= kMinUsableBitRate && rate <= kMaxUsableBitRate; }

// The input, its best audio stream and that stream's decoder.
Status OpenInput(Mp3Job &job, const char *inputPath) noexcept {
  Status st = OpenInputFile(inputPath, job.in);
  if (!IsOk(st)) return st;
  job.audioIndex = FindBestAudioStream(job.in.get());
  if (job.audioIndex < 0) return Status::AudioStreamNotFound;
  return job.audio.OpenDecoder(job.in->streams[job.audioIndex]);
}

// The input's lower usable bit rate (container or stream), capped by the caller's
// request and by what the sample rate can carry.
int64_t ChooseBitRate(const Mp3Job &job, int32_t inputRate) noexcept {
  const int64_t containerRate = job.in->bit_rate, streamRate = job.audio.Decoder()->bit_rate;
  int64_t chosen = kDefaultBitRate;
  if (IsUsableBitRate(containerRate)) {
    chosen = IsUsableBitRate(streamRate) && streamRate < containerRate ? streamRate : containerRate;
  } else if (IsUsableBitRate(streamRate)) {
    chosen = streamRate;
  }
  if (job.requestedBitRate > 0 && job.requestedBitRate < chosen) chosen = SnapMp3BitRate(job.requestedBitRate);
  if (inputRate <= kMpeg25MaxRate) return std::min(chosen, kMpeg25MaxBitRate);
  if (inputRate <= kMpeg2MaxRate) return std::min(chosen, kMpeg2MaxBitRate);
  return chosen;
}

// The MP3 output: one or two channels as the input has (more are mixed down to
// stereo), the MPEG audio rate at or above the input's, and the bit rate
// ChooseBitRate gives.
Status CreateOutput(Mp3Job &job, const char *outputPath) noexcept {
  Status st = job.out.Create("mp3", outputPath);
  if (!IsOk(st)) return st;
  const AVCodecContext *dec = job.audio.Decoder();
  const int channels = dec->ch_layout.nb_channels;
  const int32_t inputRate = dec->sample_rate != 0 ? dec->sample_rate : kUnknownRateAssumed;
  AudioReencodeRequest req;
  req.codecId = AV_CODEC_ID_MP3;
  req.channels = channels == 1 || channels == 2 ? channels : 2;
  req.sampleRate = SnapMp3SampleRate(inputRate);
  req.bitRate = ChooseBitRate(job, inputRate);
  st = job.audio.OpenEncoder(req, job.out.get());
  if (IsOk(st)) job.out->bit_rate = job.audio.Encoder()->bit_rate;
  return st;
}

// Reads and decodes packets of the audio stream until the queue holds one encoder
// frame, or to the end of input (finished); an undecodable packet is skipped
// unless it ends too long a run of them. A cut-off or damaged tail ends the input.
Status FillQueue(Mp3Job &job, bool &finished) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  while (job.audio.QueuedSamples() < job.audio.FrameSamples()) {
    Status st = ReadPacket(job.in.get(), pkt.get());
    if (st == Status::Eof) {
      finished = true;
      return Status::Ok;
    }
    if (!IsOk(st)) return st;
    if (pkt->stream_index == job.audioIndex) st = job.audio.SendPacket(pkt.get());
    av_packet_unref(pkt.get());
    if (!IsOk(st)) return st;
  }
  return Status::Ok;
}

// Seconds encoded over whole seconds of input, scaled; true when the host asks to
// stop. Nothing is computed for inputs under a second or of unknown rate.
bool ReportProgress(Mp3Job &job) noexcept {
  if (!job.progress.HasCallback() || job.audio.Decoder()->sample_rate == 0) return false;
  // The container's whole seconds, not the stream's stated length (StatedDuration):
  // hosts were written against the progress values this total gives.
  const int64_t seconds = ContainerDurationToSeconds(job.in->duration);
  if (seconds < 1) return false;
  const int32_t scale = ProgressScale();
  const int64_t total = SecondsToTimestamp(seconds, job.audio.OutStream()->time_base);
  const auto value = ProgressValue(job.audio.EncodedDuration(), total, scale);
  if (!value) return false;
  // The container's duration is whole seconds and encoders pad: never report
  // beyond the whole.
  const auto capped = static_cast<int32_t>(std::min<int64_t>(*value, scale));
  ++job.passesSinceReport;
  if (capped <= job.progress.LastValue() && job.passesSinceReport % kReportEveryPasses != 0) return false;
  job.passesSinceReport = 0;
  return job.progress.Report(capped);
}

// One frame per pass until the input ends or the host stops the job; either way the
// encoder is drained, since it holds the last frames it was given (on an early stop,
// all of them).
Status Convert(Mp3Job &job) noexcept {
  for (;;) {
    bool finished = false;
    Status st = FillQueue(job, finished);
    if (IsOk(st)) st = finished ? job.audio.Finish() : job.audio.EncodeQueued();
    if (IsOk(st)) st = WriteFinishedPackets(job.audio, job.out);
    if (!IsOk(st)) return st;
    if (finished) {
      // A truncated file whose audio never decodes: an MP3 of tags alone is no
      // conversion.
      return job.audio.EncodedDuration() == 0 ? Status::InvalidData : Status::Ok;
    }
    if (ReportProgress(job)) {
      st = job.audio.DrainEncoder();
      return IsOk(st) ? WriteFinishedPackets(job.audio, job.out) : st;
    }
  }
}

// The trailer, then the last report, after a stop too: hosts close their progress
// display on it.
Status Finish(Mp3Job &job) noexcept {
  const Status st = job.out.Finish();
  if (IsOk(st)) job.progress.ReportFinal();
  return st;
}

}  // namespace

Status ConvertToMp3(const char *inputPath, const char *outputPath, int32_t requestedBitRate,
                    ProgressCallback callback, uintptr_t user) noexcept {
  if (!inputPath || !*inputPath || !outputPath || !*outputPath) return Status::BadParameter;
  const char *inputs[] = {inputPath};
  Status st = RefuseOutputNamingInput(outputPath, inputs);
  if (!IsOk(st)) return st;
  Mp3Job job(requestedBitRate, callback, user);
  st = OpenInput(job, inputPath);
  if (IsOk(st)) st = CreateOutput(job, outputPath);
  if (IsOk(st)) st = job.out.WriteHeader();
  if (IsOk(st)) st = Convert(job);
  if (IsOk(st)) st = Finish(job);
  return st;
}

}  // namespace mpg
