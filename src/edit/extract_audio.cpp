// Audio extraction: the audio stream a site served, taken out of its download
// without a re-encode. Packets are copied as they are (ADTS headers become the
// MP4 set-up where M4A needs it); timestamps keep their spacing, so an Opus
// stream's pre-skip, an AAC edit list's priming and a last packet's end trimming
// stay what they were, and the decoded length with them.
#include "edit/extract_audio.h"

#include <algorithm>
#include <array>
#include <vector>
#include <string_view>

#include "codec/output_codec.h"
#include "core/input.h"
#include "core/output_file.h"
#include "core/streams.h"
#include "core/timebase.h"

namespace mpg {

namespace {

struct CodecContainer {
  AVCodecID codec;
  AudioContainer container;
};

// "ipod" writes MP4 with the M4A brand audio players look for; "opus" writes Ogg
// with the conventions of .opus files.
constexpr std::array kOwnContainers = {
    CodecContainer{AV_CODEC_ID_AAC, {"ipod", "m4a"}},  CodecContainer{AV_CODEC_ID_OPUS, {"opus", "opus"}},
    CodecContainer{AV_CODEC_ID_VORBIS, {"ogg", "ogg"}}, CodecContainer{AV_CODEC_ID_MP3, {"mp3", "mp3"}},
    CodecContainer{AV_CODEC_ID_FLAC, {"flac", "flac"}},
};
constexpr AudioContainer kWave = {"wav", "wav"};
constexpr AudioContainer kMatroskaAudio = {"matroska", "mka"};

// PCM and ADPCM, which WAV is the home of: FFmpeg numbers them from the first PCM
// codec to the last ADPCM one, below AMR.
bool IsWaveCoding(AVCodecID id) noexcept { return id >= AV_CODEC_ID_PCM_S16LE && id < AV_CODEC_ID_AMR_NB; }

bool Takes(const AudioContainer &c, const AVStream *st) noexcept {
  const AVOutputFormat *fmt = av_guess_format(c.muxer, nullptr, nullptr);
  // Matroska audio is the last resort: whatever it can store goes.
  return std::string_view(c.muxer) == kMatroskaAudio.muxer ? MuxerWritesStream(fmt, st) : MuxerTakesStream(fmt, st);
}

struct ExtractJob {
  InputFormatPtr in;
  OutputFile out;
  const AVStream *inStream = nullptr;
  AVStream *outStream = nullptr;
  // Packets an MP4 edit list hides (before its start) are written only where the
  // output has an edit list too; elsewhere they would be played.
  bool keepHiddenPackets = false;
  int64_t written = 0;
};

// The audio streams in the order they are tried: the best first, then the others.
std::vector<int> AudioCandidates(const AVFormatContext *in) {
  std::vector<int> order;
  const int best = FindBestAudioStream(in);
  if (best >= 0) order.push_back(best);
  for (int i = FindUsableAudioStream(in); i >= 0; i = FindNextUsableAudioStream(in, i))
    if (i != best) order.push_back(i);
  return order;
}

// Opens the input with the attempt-th stream of AudioCandidates chosen.
Status OpenAudioInput(ExtractJob &job, const char *inputPath, size_t attempt) {
  const Status st = OpenInputFile(inputPath, job.in);
  if (!IsOk(st)) return st;
  const std::vector<int> candidates = AudioCandidates(job.in.get());
  if (attempt >= candidates.size()) return Status::AudioStreamNotFound;
  job.inStream = job.in->streams[candidates[attempt]];
  return Status::Ok;
}

// The container for the stream, checked against the muxer itself: a coding WAV has
// no tag for, or a muxer this build leaves out, gives Matroska audio, and a codec
// Matroska cannot store either is refused.
Status ChooseContainer(const AVStream *st, AudioContainer &container) noexcept {
  container = NaturalAudioContainer(st->codecpar);
  if (!Takes(container, st)) container = kMatroskaAudio;
  return Takes(container, st) ? Status::Ok : kNoMuxer;
}

Status CreateOutput(ExtractJob &job, const char *inputPath, const std::string &outputPath,
                    const AudioContainer &container) noexcept {
  const char *inputs[] = {inputPath};
  Status st = RefuseOutputNamingInput(outputPath.c_str(), inputs);
  if (IsOk(st)) st = job.out.Create(container.muxer, outputPath.c_str());
  if (IsOk(st)) st = AddCopyStream(job.out.get(), job.inStream, job.outStream);
  // The copy keeps the stream's language and title, and the file's tags.
  if (IsOk(st)) av_dict_copy(&job.outStream->metadata, job.inStream->metadata, 0);
  if (IsOk(st)) av_dict_copy(&job.out->metadata, job.in->metadata, 0);
  return st;
}

// Copies every packet of the stream. A stream that starts after 0 (an MPEG-TS
// segment at 10 s) is moved to start at 0; one that starts before 0 keeps its
// priming, which the muxer stores as its edit list or pre-skip.
Status CopyPackets(ExtractJob &job, ProgressReporter &progress) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  const AVStream *in = job.inStream;
  const int64_t start = std::max<int64_t>(0, StreamStartTimestamp(job.in.get(), in));
  const int64_t length = StatedDuration(job.in.get(), in).value_or(0);
  int64_t lastDts = AV_NOPTS_VALUE;
  for (;;) {
    Status st = ReadPacket(job.in.get(), pkt.get());
    if (st == Status::Eof) return Status::Ok;
    if (!IsOk(st)) return st;
    if (pkt->stream_index != in->index || (!job.keepHiddenPackets && (pkt->flags & AV_PKT_FLAG_DISCARD))) {
      av_packet_unref(pkt.get());
      continue;
    }
    const bool stop = pkt->pts != AV_NOPTS_VALUE && progress.ReportPosition(pkt->pts - start, length);
    ShiftPacketTimes(pkt.get(), start);
    RescalePacketTimes(pkt.get(), in->time_base, job.outStream->time_base);
    // A stray packet that does not follow the one before is raised, not refused.
    KeepDtsIncreasing(pkt.get(), lastDts);
    pkt->stream_index = job.outStream->index;
    // The write takes the packet's reference.
    st = job.out.Write(pkt.get());
    ++job.written;
    if (!IsOk(st) || stop) return st;
  }
}

}  // namespace

AudioContainer NaturalAudioContainer(const AVCodecParameters *par) noexcept {
  for (const CodecContainer &c : kOwnContainers) {
    if (c.codec == par->codec_id) return c.container;
  }
  return IsWaveCoding(par->codec_id) ? kWave : kMatroskaAudio;
}

namespace {

// One attempt with the attempt-th candidate stream. NoPacket when that stream gave
// none: its file is removed and the next stream may be tried.
constexpr Status kNoPacket = Status::AudioStreamNotFound;

Status ExtractStream(const char *inputPath, const char *outputStem, size_t attempt, std::string &extension,
                     ProgressReporter &progress, bool &gavePacket) {
  ExtractJob job;
  gavePacket = false;
  Status st = OpenAudioInput(job, inputPath, attempt);
  AudioContainer container{};
  if (IsOk(st)) st = ChooseContainer(job.inStream, container);
  if (!IsOk(st)) return st;
  extension = container.extension;
  const std::string outputPath = std::string(outputStem) + "." + container.extension;
  st = CreateOutput(job, inputPath, outputPath, container);
  if (IsOk(st)) st = job.out.WriteHeader();
  job.keepHiddenPackets = std::string_view(container.muxer) == "ipod";
  if (IsOk(st)) st = CopyPackets(job, progress);
  gavePacket = job.written > 0;
  if (IsOk(st) && !gavePacket) return kNoPacket;
  if (IsOk(st)) st = job.out.Finish();
  return st;
}

}  // namespace

Status ExtractAudio(const char *inputPath, const char *outputStem, std::string &extension, ProgressCallback callback,
                    uintptr_t user) noexcept {
  try {
    ProgressReporter progress(callback, user);
    // A stream that gives no packet (a download cut off before its data) makes no
    // file; the next audio stream is tried.
    Status st = Status::Ok;
    bool gavePacket = false;
    for (size_t attempt = 0;; ++attempt) {
      st = ExtractStream(inputPath, outputStem, attempt, extension, progress, gavePacket);
      if (gavePacket || st != kNoPacket || extension.empty()) break;
      extension.clear();
    }
    if (IsOk(st) && !progress.StopRequested()) progress.ReportFinal();
    return st;
  } catch (...) {
    return Status::NoMemory;
  }
}

}  // namespace mpg
