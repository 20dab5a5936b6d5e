// The merge with audio re-encode: video copied packet by packet, audio decoded,
// converted and encoded to AAC, both into "mp4". Refuses an output path naming an
// input. The merge ends when either input ends; a failure leaves the file as far
// as it was written (with a trailer after a video read or write failure), and a
// stop by the host leaves a finished file.
#include "merge/merge_reencode.h"

#include <algorithm>
#include <limits>

#include "core/packet_write.h"
#include "core/progress.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "transcode/audio_path.h"
#include "transcode/setup.h"

namespace mpg {

namespace {

constexpr int64_t kDefaultAudioBitRate = 128000;
constexpr int kFallbackChannels = 2;
// Frame rates at or above this are demuxer guesses (a 90 kHz clock), not rates.
constexpr double kMaxPlausibleFrameRate = 1000.0;
constexpr AVRational kVideoFallbackFrameRate = {25, 1};
constexpr AVRational kAudioFallbackFrameRate = {44100, 1};

AVRational PlausibleFrameRate(AVRational r, AVRational fallback) noexcept {
  return r.num != 0 && r.den != 0 && static_cast<double>(r.num) / r.den < kMaxPlausibleFrameRate ? r : fallback;
}

// What the re-encode adds to the merge job: the audio codec objects, the stream
// handles and timing, and the progress of one run.
struct ReencodeRun {
  ReencodeRun(ProgressCallback callback, uintptr_t user) noexcept : progress(callback, user) {}

  CodecContextPtr decCtx;
  CodecContextPtr encCtx;
  SwrPtr swr;
  AudioFifoPtr fifo;
  int videoIndex = -1;
  StreamTimingState timing;
  int64_t lastVideoReadPts = 0;  // as read, in the video input's time base
  int64_t durationSeconds = 0;
  ProgressReporter progress;
  bool audioFinished = false;
};

// How a turn left the merge.
enum class Turn { Continue, Finished };

Status AddVideoStream(MergeJob &job, ReencodeRun &run, const char *videoPath) noexcept {
  Status st = OpenInputFile(videoPath, job.videoIn);
  if (!IsOk(st)) return st;
  run.videoIndex = FindFirstStreamOfType(job.videoIn.get(), AVMEDIA_TYPE_VIDEO);
  if (run.videoIndex < 0) return Status::VideoStreamNotFound;
  AVStream *inStream = job.videoIn->streams[run.videoIndex];
  const AVCodec *decoder = avcodec_find_decoder(inStream->codecpar->codec_id);
  if (!decoder) return Status::Unknown;
  AVStream *outStream = avformat_new_stream(job.out.get(), decoder);
  if (!outStream) return Status::Unknown;
  const int ret = avcodec_parameters_copy(outStream->codecpar, inStream->codecpar);
  if (ret < 0) return StatusFromAv(ret);
  // The input container's tag may mean nothing in MP4: let the muxer choose.
  outStream->codecpar->codec_tag = 0;
  outStream->r_frame_rate = PlausibleFrameRate(inStream->r_frame_rate, kVideoFallbackFrameRate);
  run.timing.inVideoStream = inStream;
  run.timing.outVideoStream = outStream;
  run.timing.outVideoIndex = outStream->index;
  return Status::Ok;
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
  // Frames are stamped in the output stream's time base: one tick per sample.
  enc->time_base = AVRational{1, dec->sample_rate};
  AVStream *outStream = run.timing.outAudioStream;
  outStream->time_base = enc->time_base;
  // MP4 keeps the AAC configuration in the header, not in the packets; the flag
  // works only when set before the encoder opens.
  if (job.out->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  const AVCodec *encoder = avcodec_find_encoder(enc->codec_id);
  if (!encoder) return Status::Unknown;
  const int ret = avcodec_open2(enc, encoder, nullptr);
  if (ret < 0) return StatusFromAv(ret);
  return PublishEncoderParameters(outStream, enc);
}

Status WriteHeader(MergeJob &job, const char *outputPath) noexcept {
  int ret = avio_open2(&job.out->pb, outputPath, AVIO_FLAG_WRITE, nullptr, nullptr);
  if (ret < 0) return StatusFromAv(ret);
  ret = avformat_write_header(job.out.get(), nullptr);
  return ret < 0 ? StatusFromAv(ret) : Status::Ok;
}

Status WriteTrailer(MergeJob &job) noexcept {
  const int ret = av_write_trailer(job.out.get());
  return ret < 0 ? StatusFromAv(ret) : Status::Ok;
}

// The decoder belongs to the stream FindBestAudioStream chose, so its packets are
// the ones read.
void StartTiming(MergeJob &job, ReencodeRun &run) noexcept {
  StreamTimingState &t = run.timing;
  t.inAudioIndex = FindBestAudioStream(job.audioIn.get());
  t.inAudioStream = job.audioIn->streams[t.inAudioIndex];
  run.durationSeconds =
      MeasureMergeDuration(job.videoIn.get(), t.inVideoStream, job.audioIn.get(), t.inAudioStream);
}

// Reads the next packet of the video stream; nothing else of the video file.
int ReadVideoPacket(MergeJob &job, const ReencodeRun &run, AVPacket *pkt) noexcept {
  for (;;) {
    const int ret = av_read_frame(job.videoIn.get(), pkt);
    if (ret < 0 || pkt->stream_index == run.videoIndex) return ret;
    av_packet_unref(pkt);
  }
}

// True when the host asked to stop.
bool ReportVideoProgress(ReencodeRun &run, int64_t pts) noexcept {
  if (!run.progress.HasCallback() || pts == AV_NOPTS_VALUE) return false;
  const int64_t seconds = TimestampToWholeSeconds(pts, run.timing.inVideoStream->time_base);
  const auto value = ProgressValue(seconds, run.durationSeconds, ProgressScale());
  if (!value) return false;
  // The video may run past the measured length: values above the scale are sent.
  const auto clamped = static_cast<int32_t>(std::min<int64_t>(*value, std::numeric_limits<int32_t>::max()));
  return run.progress.ReportIfAdvanced(clamped);
}

// One video packet copied. The video's end finishes the merge (with the final
// report); a read or write failure finishes the file and fails the merge.
Status VideoTurn(MergeJob &job, ReencodeRun &run, Turn &turn) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  int ret = ReadVideoPacket(job, run, pkt.get());
  if (ret == AVERROR_EOF) {
    turn = Turn::Finished;
    run.progress.ReportFinal();
    return WriteTrailer(job);
  }
  if (ret < 0) {
    turn = Turn::Finished;
    WriteTrailer(job);
    return StatusFromAv(ret);
  }
  const int64_t readTs = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
  if (readTs != AV_NOPTS_VALUE) run.lastVideoReadPts = readTs;
  if (ReportVideoProgress(run, pkt->pts)) {
    turn = Turn::Finished;
    return WriteTrailer(job);
  }
  pkt->stream_index = run.timing.outVideoIndex;
  RescalePacketTimes(pkt.get(), run.timing.inVideoStream->time_base, run.timing.outVideoStream->time_base);
  // The write takes the packet's reference.
  ret = WritePacket(job.out.get(), pkt.get());
  if (ret < 0) {
    turn = Turn::Finished;
    WriteTrailer(job);
    return StatusFromAv(ret);
  }
  return Status::Ok;
}

// One encoder frame of audio read, converted, encoded and written. The audio's end
// drains the FIFO and the encoder and finishes the merge. Failures leave the file
// without a trailer.
Status AudioTurn(MergeJob &job, ReencodeRun &run, Turn &turn) noexcept {
  AVAudioFifo *fifo = run.fifo.get();
  const int frameSamples = AudioFrameSamples(run.encCtx.get());
  while (!run.audioFinished && av_audio_fifo_size(fifo) < frameSamples) {
    const Status st = ReadDecodeConvertStore(fifo, job.audioIn.get(), run.decCtx.get(), run.encCtx.get(),
                                             run.swr.get(), run.audioFinished, run.timing);
    if (!IsOk(st)) {
      turn = Turn::Finished;
      return st;
    }
  }
  for (;;) {
    const int queued = av_audio_fifo_size(fifo);
    if (queued < frameSamples && !(run.audioFinished && queued > 0)) break;
    const Status st = LoadEncodeWrite(fifo, job.out.get(), run.encCtx.get(), run.timing);
    if (!IsOk(st)) {
      turn = Turn::Finished;
      return st;
    }
  }
  if (!run.audioFinished) return Status::Ok;
  turn = Turn::Finished;
  bool written = false;
  const Status st = EncodeAudioFrame(nullptr, job.out.get(), run.encCtx.get(), written, run.timing);
  return IsOk(st) ? WriteTrailer(job) : st;
}

// Turns by timestamp: audio while the last video pts read is later than the last
// audio pts written (the first turn, with no audio yet, reads audio), else video.
Status MergeLoop(MergeJob &job, ReencodeRun &run) noexcept {
  const AVRational videoTb = run.timing.inVideoStream->time_base;
  const AVRational audioTb = run.timing.outAudioStream->time_base;
  Turn turn = Turn::Continue;
  Status st = Status::Ok;
  while (IsOk(st) && turn == Turn::Continue) {
    const bool audioTurn = av_compare_ts(run.lastVideoReadPts, videoTb, run.timing.lastPacketPts, audioTb) > 0;
    st = audioTurn ? AudioTurn(job, run, turn) : VideoTurn(job, run, turn);
  }
  return st;
}

Status RunMerge(MergeJob &job, ReencodeRun &run, const char *videoPath, const char *audioPath,
                const char *outputPath) noexcept {
  if (!outputPath || !*outputPath) return Status::BadParameter;
  const char *inputs[] = {videoPath, audioPath};
  Status st = RefuseOutputNamingInput(outputPath, inputs);
  if (IsOk(st)) st = CreateOutputContext(job, outputPath);
  if (IsOk(st)) st = AddVideoStream(job, run, videoPath);
  if (IsOk(st)) st = OpenAudioInputForReencode(job.out.get(), audioPath, job.audioIn, run.timing.outAudioStream,
                                               run.decCtx, run.encCtx);
  if (IsOk(st)) {
    run.timing.outAudioIndex = run.timing.outAudioStream->index;
    st = OpenAudioEncoder(job, run);
  }
  if (IsOk(st)) st = OpenAudioResampler(run.decCtx.get(), run.encCtx.get(), run.swr, run.fifo);
  if (IsOk(st)) st = WriteHeader(job, outputPath);
  if (IsOk(st)) {
    StartTiming(job, run);
    st = MergeLoop(job, run);
  }
  return st;
}

}  // namespace

Status OpenAudioInputForReencode(AVFormatContext *out, const char *audioPath, InputFormatPtr &in,
                                 AVStream *&outStream, CodecContextPtr &decCtx, CodecContextPtr &encCtx) noexcept {
  in.reset();
  InputFormatPtr input;
  const AVStream *inStream = nullptr;
  Status st = OpenBestAudioForEncoding(out, audioPath, AV_CODEC_ID_AAC, input, inStream, outStream, decCtx, encCtx);
  if (IsOk(st)) st = CopyDecoderSettingsToEncoder(decCtx.get(), encCtx.get());
  if (!IsOk(st)) return st;
  outStream->duration = inStream->duration;
  outStream->codecpar->sample_rate = inStream->codecpar->sample_rate;
  outStream->r_frame_rate = PlausibleFrameRate(inStream->r_frame_rate, kAudioFallbackFrameRate);
  in = std::move(input);
  return Status::Ok;
}

Status MergeWithAudioReencode(MergeJob &job, const char *videoPath, const char *audioPath, const char *outputPath,
                              ProgressCallback callback, uintptr_t user) {
  ReencodeRun run(callback, user);
  job.status = RunMerge(job, run, videoPath, audioPath, outputPath);
  return job.status;
}

}  // namespace mpg
