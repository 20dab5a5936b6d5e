// The transcode of one file into another container. Refuses an output path that
// names the input, a codec choice out of range and an input without audio. A
// stream the output container cannot hold is re-encoded to the container's usual
// codec; an input's moving video is either written or the transcode fails. A
// re-encode skips damaged packets (audio keeps their time as silence) and fails
// after too long a run of them. The output file is opened once the input, its
// streams and codecs are checked; a later failure removes it, and a stop by the
// host leaves a finished, shorter file.
#include "transcode/transcode.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "transcode/extension_table.h"
#include "core/decoder.h"
#include "core/input.h"
#include "core/output_file.h"
#include "core/progress.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "codec/audio_path.h"
#include "codec/audio_reencoder.h"
#include "codec/output_codec.h"
#include "codec/setup.h"
#include "codec/video_reencoder.h"

namespace mpg {

namespace {

// One export call's transcode. Members are destroyed in reverse order: the
// codecs, the output (removed unless finished), then the input.
struct TranscodeJob {
  TranscodeJob(const char *in, const char *outPath, const TranscodeParams &p, ProgressCallback callback,
               uintptr_t user) noexcept
      : inputPath(in), outputPath(outPath), params(p), progress(callback, user) {}

  const char *inputPath;
  const char *outputPath;
  TranscodeParams params;
  AVCodecID audioCodecId = AV_CODEC_ID_NONE;
  bool audioReencode = false;
  bool videoReencode = false;

  InputFormatPtr in;  // every packet of both streams is read from it
  OutputFile out;
  AudioReencoder audio;
  VideoReencoder video;

  int inAudioIndex = -1;
  const AVStream *inAudio = nullptr;
  AVStream *outAudio = nullptr;
  int64_t lastCopiedAudioDts = AV_NOPTS_VALUE;  // output time base
  int inVideoIndex = -1;
  const AVStream *inVideo = nullptr;
  AVStream *outVideo = nullptr;  // null: the output has no video
  int64_t lastCopiedVideoDts = AV_NOPTS_VALUE;  // output time base
  int64_t copiedVideoPackets = 0;
  int64_t copiedAudioPackets = 0;
  int64_t packetsSinceStop = 0;  // read after the host asked to stop
  // Where the input's timeline starts, in the input video's and audio's time bases:
  // subtracted from every packet so the output starts at 0.
  int64_t videoStartOffset = 0;
  int64_t audioStartOffset = 0;
  int64_t firstProgressPts = AV_NOPTS_VALUE;  // input time base of the measured stream
  ProgressReporter progress;
};

// After a stop, how many more packets are read for a stream of the output that has
// been given nothing yet (a few seconds of a usual file); then the job stops anyway.
constexpr int64_t kMaxPacketsAfterStop = 250;

// How the packet loop ended.
enum class LoopEnd { EndOfInput, Stopped };

bool AnyAudioField(const TranscodeParams &p) noexcept {
  return p.audioCodecChoice != 0 || p.audioBitRateRequest != 0 || p.audioSampleRate != 0 || p.audioChannels != 0;
}

bool AnyVideoField(const TranscodeParams &p) noexcept {
  return p.videoCodecChoice != 0 || p.width != 0 || p.height != 0 || p.scalePercent != 0 ||
         p.videoBitRateRequest != 0 || p.frameTimeNum != 0;
}

// 0 keeps the input's codec.
bool AudioCodecForChoice(int32_t choice, AVCodecID &id) noexcept {
  switch (choice) {
    case 0: id = AV_CODEC_ID_NONE; return true;
    case 1: id = AV_CODEC_ID_MP3; return true;
    case 2: id = AV_CODEC_ID_AAC; return true;
    case 3: id = AV_CODEC_ID_AMR_NB; return true;
    case 4: id = AV_CODEC_ID_AMR_WB; return true;
    default: return false;
  }
}

// The codec and tag each videoCodecChoice names: 0 the input's codec (the
// engine's rule), 1-3 MPEG-4 with the XVID, DX50 and DIVX tags, 4 H.263, 5 H.264,
// 6 MPEG-4 (tagged FMP4 in AVI, where it needs a FourCC). False out of range.
bool VideoCodecForChoice(int32_t choice, int32_t outputFormat, AVCodecID &id, uint32_t &tag) noexcept {
  constexpr int32_t kAviOutputFormat = 2;
  tag = 0;
  switch (choice) {
    case 0: id = AV_CODEC_ID_NONE; return true;
    case 1: id = AV_CODEC_ID_MPEG4; tag = MKTAG('X', 'V', 'I', 'D'); return true;
    case 2: id = AV_CODEC_ID_MPEG4; tag = MKTAG('D', 'X', '5', '0'); return true;
    case 3: id = AV_CODEC_ID_MPEG4; tag = MKTAG('D', 'I', 'V', 'X'); return true;
    case 4: id = AV_CODEC_ID_H263; tag = MKTAG('s', '2', '6', '3'); return true;
    case 5: id = AV_CODEC_ID_H264; return true;
    case 6:
      id = AV_CODEC_ID_MPEG4;
      if (outputFormat == kAviOutputFormat) tag = MKTAG('F', 'M', 'P', '4');
      return true;
    default: return false;
  }
}

Status CheckRequest(TranscodeJob &job) noexcept {
  if (!AudioCodecForChoice(job.params.audioCodecChoice, job.audioCodecId)) return Status::BadParameter;
  // An unknown video codec would leave the video out of the file.
  AVCodecID videoCodecId = AV_CODEC_ID_NONE;
  uint32_t videoTag = 0;
  if (!VideoCodecForChoice(job.params.videoCodecChoice, job.params.outputFormat, videoCodecId, videoTag)) {
    return Status::BadParameter;
  }
  // A share of the whole size or more means no share.
  if (job.params.scalePercent >= ProgressScale()) job.params.scalePercent = 0;
  job.audioReencode = AnyAudioField(job.params);
  job.videoReencode = AnyVideoField(job.params);
  // Writing the output would truncate the input before it is read.
  const char *inputs[] = {job.inputPath};
  return RefuseOutputNamingInput(job.outputPath, inputs);
}

Status CreateOutput(TranscodeJob &job) noexcept {
  return job.out.Create(FindTranscodeMuxer(job.params.outputFormat), job.outputPath);
}

// The audio encoder as asked: the codec, rate, bit rate and channels of the
// request (raised to the MPEG audio steps); a rejected packet keeps its time as
// silence, so the audio stays in step with the video.
Status OpenAudioReencode(TranscodeJob &job) noexcept {
  const TranscodeParams &p = job.params;
  AudioReencodeRequest req;
  req.codecId = job.audioCodecId;
  if (p.audioChannels == 1 || p.audioChannels == 2) req.channels = p.audioChannels;
  if (p.audioBitRateRequest != 0) req.bitRate = SnapMp3BitRate(p.audioBitRateRequest);
  if (p.audioSampleRate != 0) req.sampleRate = SnapMp3SampleRate(p.audioSampleRate);
  req.silenceForRejected = true;
  Status st = job.audio.OpenDecoder(job.inAudio);
  if (IsOk(st)) st = job.audio.OpenEncoder(req, job.out.get());
  if (IsOk(st)) job.outAudio = job.audio.OutStream();
  return st;
}

Status OpenInput(TranscodeJob &job) noexcept { return OpenInputFile(job.inputPath, job.in); }

// The input's best audio stream, copied when no audio field asks for a change
// and the output container holds its codec; otherwise re-encoded, to the asked
// codec or, with none asked, to the input's codec when the container holds it
// and an encoder exists, else to the container's usual codec.
Status SetUpAudio(TranscodeJob &job) noexcept {
  job.inAudioIndex = FindBestAudioStream(job.in.get());
  if (job.inAudioIndex < 0) return Status::AudioStreamNotFound;
  job.inAudio = job.in->streams[job.inAudioIndex];
  const AVOutputFormat *fmt = job.out->oformat;
  if (!job.audioReencode && !MuxerTakesStream(fmt, job.inAudio)) job.audioReencode = true;
  if (!job.audioReencode) {
    // A copy: the stream keeps the input's parameters and clock; no codec runs.
    const Status st = AddCopyStream(job.out.get(), job.inAudio, job.outAudio);
    if (IsOk(st)) job.outAudio->time_base = job.inAudio->time_base;
    return st;
  }
  if (job.audioCodecId == AV_CODEC_ID_NONE) job.audioCodecId = ChooseOutputCodec(fmt, job.inAudio, true);
  return OpenAudioReencode(job);
}

// The output frame time for a frame duration num/den (frame rate den/num): the
// first common rate (12, 15, 20, 23.976, 25, 29.97, 30, 50, 59.94) whose upper
// bound the rate does not exceed, else 60. A num of 0 or below gives 1/60.
AVRational SnapFrameRate(int32_t num, int32_t den) noexcept {
  struct Row {
    double maxRate;
    AVRational timeBase;
  };
  constexpr std::array<Row, 9> kRows = {{{13.0, {1, 12}},
                                         {16.0, {1, 15}},
                                         {22.0, {1, 20}},
                                         {24.0, {1001, 24000}},
                                         {26.0, {1, 25}},
                                         {29.98, {1001, 30000}},
                                         {35.0, {1, 30}},
                                         {55.0, {1, 50}},
                                         {59.98, {1001, 60000}}}};
  if (num <= 0) return {1, 60};
  const double rate = static_cast<double>(den) / num;
  for (const Row &row : kRows) {
    if (rate <= row.maxRate) return row.timeBase;
  }
  return {1, 60};
}

// The output size the request asks: width and height as given (one of them 0
// follows the other), replaced by a share of the input's size (in ProgressScale
// units) when one is given beside them.
void AskedSize(const TranscodeParams &p, const AVStream *inStream, VideoReencodeRequest &req) noexcept {
  req.width = p.width;
  req.height = p.height;
  const int64_t share = p.scalePercent;
  const int64_t scale = ProgressScale();
  if ((p.width != 0 || p.height != 0) && share >= 1 && scale > 0) {
    req.width = static_cast<int32_t>(inStream->codecpar->width * share / scale);
    req.height = static_cast<int32_t>(inStream->codecpar->height * share / scale);
  }
}

// Re-encode: the encoder the request asks for (with none asked, the input's codec
// when the container holds it and an encoder exists, else the container's usual
// one), at the lowered frame rate when one is asked. The output stream takes the
// input's timing hints.
Status SetUpVideoReencode(TranscodeJob &job) noexcept {
  const TranscodeParams &p = job.params;
  VideoReencodeRequest req;
  VideoCodecForChoice(p.videoCodecChoice, p.outputFormat, req.codecId, req.codecTag);
  AskedSize(p, job.inVideo, req);
  if (p.videoBitRateRequest != 0) req.bitRate = SnapVideoBitRate(p.videoBitRateRequest);
  if (p.frameTimeNum > 0) req.frameRate = av_inv_q(SnapFrameRate(p.frameTimeNum, p.frameTimeDen));
  const Status st = job.video.Open(req, job.inVideo, job.out.get());
  if (!IsOk(st)) return st;
  job.outVideo = job.video.OutStream();
  const AVStream *in = job.inVideo;
  job.outVideo->duration = in->duration;
  job.outVideo->nb_frames = in->nb_frames;
  job.outVideo->disposition = in->disposition;
  job.outVideo->avg_frame_rate = in->avg_frame_rate;
  job.outVideo->sample_aspect_ratio = in->sample_aspect_ratio;
  job.outVideo->r_frame_rate = PlausibleFrameRate(in->r_frame_rate, kVideoFallbackFrameRate);
  return Status::Ok;
}

// True when the output container is an audio file: the ADTS muxer takes no video
// stream at all, the MP3 muxer only a cover picture.
bool IsAudioOnlyMuxer(const AVOutputFormat *fmt) noexcept {
  return fmt->video_codec == AV_CODEC_ID_NONE || std::strcmp(fmt->name, "mp3") == 0;
}

// The input's moving video (a cover picture is not), copied when no video field
// asks for a change and the output container holds its codec, else re-encoded.
// An input without moving video, or an audio file as output, gives the audio
// alone; any other failure fails the transcode, which never drops the video.
Status SetUpVideo(TranscodeJob &job) noexcept {
  if (IsAudioOnlyMuxer(job.out->oformat)) return Status::Ok;
  job.inVideoIndex = FindMovingVideoStream(job.in.get());
  if (job.inVideoIndex < 0) return Status::Ok;
  job.inVideo = job.in->streams[job.inVideoIndex];
  if (!job.videoReencode && !MuxerTakesStream(job.out->oformat, job.inVideo)) job.videoReencode = true;
  if (job.videoReencode) return SetUpVideoReencode(job);
  const Status st = AddCopyStream(job.out.get(), job.inVideo, job.outVideo);
  if (!IsOk(st)) return st;
  job.outVideo->time_base = job.inVideo->time_base;
  return Status::Ok;
}

// Where the input's timeline starts for the streams the output takes from it, in
// each stream's time base.
void TakeStartOffsets(TranscodeJob &job) noexcept {
  const AVStream *audio = job.inAudio;
  const AVStream *video = job.outVideo ? job.inVideo : nullptr;
  job.audioStartOffset = InputStartOffset(job.in.get(), {audio, video}, audio->time_base);
  if (video) job.videoStartOffset = InputStartOffset(job.in.get(), {audio, video}, video->time_base);
}

// ---- The packet loop ----------------------------------------------------------------

// Reports the packet's position: its distance from the first measured pts, out of
// the length the stream states (StatedDuration). The reporter keeps a stop answer;
// after one the host hears nothing more.
void ReportProgress(TranscodeJob &job, const AVStream *inStream, const AVPacket *pkt) noexcept {
  // AVI video packets carry a dts alone.
  const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
  if (!job.progress.HasCallback() || job.progress.StopRequested() || ts == AV_NOPTS_VALUE) return;
  const int64_t total = StatedDuration(job.in.get(), inStream).value_or(0);
  if (job.firstProgressPts == AV_NOPTS_VALUE) job.firstProgressPts = ts;
  job.progress.ReportPosition(ts - job.firstProgressPts, total);
}

Status HandleAudioPacket(TranscodeJob &job, AVPacket *pkt) noexcept {
  const AVStream *inStream = job.inAudio;
  if (!job.outVideo) ReportProgress(job, inStream, pkt);
  ShiftPacketTimes(pkt, job.audioStartOffset);
  if (job.audioReencode) {
    Status st = job.audio.SendPacket(pkt);
    if (IsOk(st)) st = job.audio.EncodeQueued();
    return IsOk(st) ? WriteFinishedPackets(job.audio, job.out) : st;
  }
  pkt->stream_index = job.outAudio->index;
  RescalePacketTimes(pkt, inStream->time_base, job.outAudio->time_base);
  KeepDtsIncreasing(pkt, job.lastCopiedAudioDts);
  const Status st = job.out.Write(pkt);
  if (IsOk(st)) ++job.copiedAudioPackets;
  return st;
}

Status HandleVideoPacket(TranscodeJob &job, AVPacket *pkt) noexcept {
  const AVStream *inStream = job.inVideo;
  ReportProgress(job, inStream, pkt);
  ShiftPacketTimes(pkt, job.videoStartOffset);
  if (job.videoReencode) {
    // Every packet is decoded, even one without a pts: later pictures refer to it.
    const Status st = job.video.SendPacket(pkt);
    return IsOk(st) ? WriteFinishedPackets(job.video, job.out) : st;
  }
  // AVI stores no pts for video, only its frames in decoding order: the dts is the
  // pts the MP4 muxer would take anyway. A packet without either has no place.
  if (pkt->pts == AV_NOPTS_VALUE) pkt->pts = pkt->dts;
  if (pkt->pts == AV_NOPTS_VALUE) return Status::Ok;
  pkt->stream_index = job.outVideo->index;
  RescalePacketTimes(pkt, inStream->time_base, job.outVideo->time_base);
  KeepDtsIncreasing(pkt, job.lastCopiedVideoDts);
  const Status st = job.out.Write(pkt);
  if (IsOk(st)) ++job.copiedVideoPackets;
  return st;
}

// True once every stream of the output has been given something: a packet
// copied, a picture handed to the encoder, samples queued for it. Finished there,
// the file plays; stopped before, it would lack a stream (or, as an MP3, hold no
// frame at all: the first report comes before the first frame on a fine scale).
bool EveryStreamStarted(const TranscodeJob &job) noexcept {
  const bool audio = job.audioReencode ? job.audio.SamplesEncoded() > 0 || job.audio.QueuedSamples() > 0
                                       : job.copiedAudioPackets > 0;
  const bool video = !job.outVideo || (job.videoReencode ? job.video.PicturesEncoded() > 0
                                                         : job.copiedVideoPackets > 0);
  return audio && video;
}

// True when the loop ends on the host's stop: the packet that carried the report
// is written first, and the stop waits for every stream to have started (up to
// kMaxPacketsAfterStop more packets).
bool StopNow(TranscodeJob &job) noexcept {
  if (!job.progress.StopRequested()) return false;
  return EveryStreamStarted(job) || ++job.packetsSinceStop > kMaxPacketsAfterStop;
}

// Reads the input until its end, an error or a stop.
Status PacketLoop(TranscodeJob &job, LoopEnd &end) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  for (;;) {
    Status st = ReadPacket(job.in.get(), pkt.get());
    if (st == Status::Eof) {
      end = job.progress.StopRequested() ? LoopEnd::Stopped : LoopEnd::EndOfInput;
      return Status::Ok;
    }
    if (!IsOk(st)) return st;
    if (pkt->stream_index == job.inAudioIndex && pkt->pts != AV_NOPTS_VALUE) {
      st = HandleAudioPacket(job, pkt.get());
    } else if (job.outVideo && pkt->stream_index == job.inVideoIndex) {
      st = HandleVideoPacket(job, pkt.get());
    }
    av_packet_unref(pkt.get());
    if (!IsOk(st)) return st;
    if (StopNow(job)) {
      end = LoopEnd::Stopped;
      return Status::Ok;
    }
  }
}

// The pictures and samples the decoders, the resampler and the encoders still
// hold, then the trailer. After a stop the host hears nothing more.
Status Finish(TranscodeJob &job, LoopEnd end) noexcept {
  Status st = Status::Ok;
  if (job.outVideo && job.videoReencode) {
    st = job.video.Finish();
    if (IsOk(st)) st = WriteFinishedPackets(job.video, job.out);
  }
  if (IsOk(st) && job.audioReencode) {
    st = job.audio.Finish();
    if (IsOk(st)) st = WriteFinishedPackets(job.audio, job.out);
  }
  if (!IsOk(st)) return st;
  // Every picture refused (a decoder that understood none, say): the file would
  // claim a video stream with nothing in it.
  const int64_t videoPackets = job.videoReencode ? job.video.PacketsProduced() : job.copiedVideoPackets;
  if (job.outVideo && end == LoopEnd::EndOfInput && videoPackets == 0) return Status::InvalidData;
  st = job.out.Finish();
  if (IsOk(st) && end == LoopEnd::EndOfInput) job.progress.ReportFinal();
  return st;
}

Status RunTranscode(TranscodeJob &job) noexcept {
  LoopEnd end = LoopEnd::EndOfInput;
  Status st = CheckRequest(job);
  if (IsOk(st)) st = CreateOutput(job);
  if (IsOk(st)) st = OpenInput(job);
  if (IsOk(st)) st = SetUpAudio(job);
  if (IsOk(st)) st = SetUpVideo(job);
  if (IsOk(st)) TakeStartOffsets(job);
  if (IsOk(st)) st = job.out.WriteHeader();
  if (IsOk(st)) st = PacketLoop(job, end);
  if (IsOk(st)) st = Finish(job, end);
  return st;
}

}  // namespace

const AVOutputFormat *FindTranscodeMuxer(int32_t outputFormat) noexcept {
  const ExtensionTableRow *row = FindOutputFormat(outputFormat);
  if (!row) return nullptr;
  if (const AVOutputFormat *fmt = av_guess_format(row->muxerName, nullptr, nullptr)) return fmt;
  // FFmpeg names these muxers after the stream form ("adts" writes .aac files,
  // "asf" writes .wmv): take the one that claims the extension.
  char fileName[32];
  std::snprintf(fileName, sizeof fileName, "output.%s", row->extension);
  return av_guess_format(nullptr, fileName, nullptr);
}

Status Transcode(const char *inputPath, const char *outputPath, const TranscodeParams &params,
                 ProgressCallback callback, uintptr_t user) noexcept {
  if (!inputPath || !*inputPath || !outputPath || !*outputPath) return Status::BadParameter;
  TranscodeJob job(inputPath, outputPath, params, callback, user);
  return RunTranscode(job);
}

}  // namespace mpg
