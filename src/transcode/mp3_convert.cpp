// MP3 conversion of a file's best audio stream. Refuses an output path that names
// the input and an input without audio. The output file is opened once the
// decoder, encoder and resampler are open; a later failure removes it, and a stop
// by the host leaves a finished, shorter MP3.
#include "transcode/mp3_convert.h"

#include <algorithm>

#include "core/input.h"
#include "core/output_file.h"
#include "core/progress.h"
#include "core/timebase.h"
#include "codec/audio_path.h"
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
  CodecContextPtr decCtx;
  CodecContextPtr encCtx;
  SwrPtr swr;
  AudioFifoPtr fifo;
  AudioTiming timing;
  ProgressReporter progress;
  int passesSinceReport = 0;
};

bool IsUsableBitRate(int64_t rate) noexcept { return rate >= kMinUsableBitRate && rate <= kMaxUsableBitRate; }

// The input, its best audio stream and that stream's decoder.
Status OpenInput(Mp3Job &job, const char *inputPath) noexcept {
  Status st = OpenInputFile(inputPath, job.in);
  if (IsOk(st)) st = OpenBestAudioDecoder(job.in.get(), job.timing.inIndex, job.decCtx);
  if (IsOk(st)) job.timing.inStream = job.in->streams[job.timing.inIndex];
  return st;
}

Status CreateOutput(Mp3Job &job, const char *outputPath) noexcept {
  Status st = job.out.Create("mp3", outputPath);
  if (IsOk(st)) st = AddAudioEncoderStream(job.out.get(), job.timing.inStream, job.decCtx.get(), AV_CODEC_ID_MP3,
                                           job.timing.outStream, job.encCtx);
  return st;
}

// The input's lower usable bit rate (container or stream), capped by the caller's
// request and by what the sample rate can carry.
int64_t ChooseBitRate(const Mp3Job &job, int32_t inputRate) noexcept {
  const int64_t containerRate = job.in->bit_rate, streamRate = job.decCtx->bit_rate;
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

// Channels, sample rate and bit rate of the MP3 encoder, then its open.
Status OpenEncoder(Mp3Job &job) noexcept {
  AVCodecContext *dec = job.decCtx.get(), *enc = job.encCtx.get();
  av_channel_layout_uninit(&enc->ch_layout);
  const int channels = dec->ch_layout.nb_channels;
  int ret = 0;
  if (channels == 1 || channels == 2) {
    // A layout of unspecified order becomes the default one of its count.
    if (dec->ch_layout.order == AV_CHANNEL_ORDER_NATIVE) {
      ret = av_channel_layout_copy(&enc->ch_layout, &dec->ch_layout);
    } else {
      av_channel_layout_default(&enc->ch_layout, channels);
    }
  } else {
    // MP3 carries one or two channels; more are mixed down to stereo.
    enc->ch_layout = AV_CHANNEL_LAYOUT_STEREO;
  }
  if (ret < 0) return StatusFromAv(ret);

  const int32_t inputRate = dec->sample_rate != 0 ? dec->sample_rate : kUnknownRateAssumed;
  enc->sample_rate = SnapMp3SampleRate(inputRate);
  enc->bit_rate = ChooseBitRate(job, inputRate);
  // Frames are stamped in the output stream's time base, which the muxer sets to
  // one tick per sample.
  enc->time_base = AVRational{1, enc->sample_rate};
  job.timing.outStream->time_base = enc->time_base;
  job.out->bit_rate = enc->bit_rate;

  ret = avcodec_open2(enc, enc->codec, nullptr);
  if (ret < 0) return StatusFromAv(ret);
  return PublishEncoderParameters(job.timing.outStream, enc);
}

// Fills the FIFO to one encoder frame, or to the end of input; an undecodable
// packet is skipped unless it ends too long a run of them.
Status FillFifo(Mp3Job &job, int frameSamples, bool &finished) noexcept {
  while (av_audio_fifo_size(job.fifo.get()) < frameSamples) {
    const Status st = ReadDecodeConvertStore(job.fifo.get(), job.in.get(), job.decCtx.get(), job.encCtx.get(),
                                             job.swr.get(), finished, job.timing);
    if (!IsOk(st)) return st;
    if (finished) break;
  }
  return Status::Ok;
}

Status EncodeQueued(Mp3Job &job, int frameSamples, bool finished) noexcept {
  for (;;) {
    const int queued = av_audio_fifo_size(job.fifo.get());
    if (queued < frameSamples && !(finished && queued > 0)) return Status::Ok;
    const Status st = LoadEncodeWrite(job.fifo.get(), job.out, job.encCtx.get(), job.timing);
    if (!IsOk(st)) return st;
  }
}

// Seconds encoded over whole seconds of input, scaled; true when the host asks to
// stop. Nothing is computed for inputs under a second or of unknown rate.
bool ReportProgress(Mp3Job &job) noexcept {
  if (!job.progress.HasCallback() || job.decCtx->sample_rate == 0) return false;
  const int64_t seconds = ContainerDurationToSeconds(job.in->duration);
  if (seconds < 1) return false;
  const int32_t scale = ProgressScale();
  const int64_t total = SecondsToTimestamp(seconds, job.timing.outStream->time_base);
  const auto value = ProgressValue(job.timing.encodedDuration, total, scale);
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
    const int frameSamples = AudioFrameSamples(job.encCtx.get());
    bool finished = false;
    Status st = FillFifo(job, frameSamples, finished);
    if (!IsOk(st)) return st;
    st = EncodeQueued(job, frameSamples, finished);
    if (!IsOk(st)) return st;
    const bool stopped = !finished && ReportProgress(job);
    if (finished || stopped) {
      st = EncodeAudioFrame(nullptr, job.out, job.encCtx.get(), job.timing);
      if (!IsOk(st)) return st;
      // A truncated file whose audio never decodes: an MP3 of tags alone is no
      // conversion.
      return finished && job.timing.encodedDuration == 0 ? Status::InvalidData : Status::Ok;
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
  if (IsOk(st)) st = OpenEncoder(job);
  if (IsOk(st)) st = OpenAudioResampler(job.decCtx.get(), job.encCtx.get(), job.swr, job.fifo);
  if (IsOk(st)) st = job.out.WriteHeader();
  if (IsOk(st)) st = Convert(job);
  if (IsOk(st)) st = Finish(job);
  return st;
}

}  // namespace mpg
