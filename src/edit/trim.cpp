// Trim: the pictures of a time range of a file's first moving video stream
// re-encoded, and its audio packets within the range copied, into a new file of the
// container type the input's name suggests; the range's start is the output's time
// 0. Refuses an input without audio or without moving video (a song's cover picture
// is not video), an output that names the input, and a range with no picture in
// it. The output is opened only once the input, its streams and the codecs are
// checked; a later failure removes it.
#include "edit/trim.h"

#include "core/input.h"
#include "core/output_file.h"
#include "core/seek.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "codec/video_reencoder.h"
#include "edit/edit_job.h"

namespace mpg {

namespace {

// One call's trim. Members are destroyed in reverse order: the video engine, the
// output (removed unless finished), then the input.
struct TrimJob {
  InputFormatPtr in;  // every packet of both streams is read from it
  OutputFile out;
  int audioIndex = -1;
  int videoIndex = -1;
  const AVStream *videoIn = nullptr;
  const AVStream *audioIn = nullptr;
  AVStream *audioOut = nullptr;
  VideoReencoder video;
  // The kept range [startTs, endTs) in the input video stream's time base.
  int64_t startTs = 0;
  int64_t endTs = 0;
  bool audioDone = false;  // an audio packet at or past the end was read
};

// One input serves both streams: the audio is copied by its codec parameters alone
// (no codec of it is needed), the video is decoded. A cover picture (an MP3's ID3
// art, an M4A's cover) is one still packet, not video to cut.
Status OpenInput(TrimJob &job, const char *inputPath) noexcept {
  Status st = OpenInputFile(inputPath, job.in);
  if (!IsOk(st)) return st;
  job.audioIndex = FindBestAudioStream(job.in.get());
  if (job.audioIndex < 0) return Status::AudioStreamNotFound;
  job.videoIndex = FindMovingVideoStream(job.in.get());
  if (job.videoIndex < 0) return Status::VideoStreamNotFound;
  job.audioIn = job.in->streams[job.audioIndex];
  job.videoIn = job.in->streams[job.videoIndex];
  // Without a size there is nothing to open the encoder with (AVERROR_UNKNOWN, as
  // hosts know it).
  if (job.videoIn->codecpar->width == 0 || job.videoIn->codecpar->height == 0) return Status::Unknown;
  return Status::Ok;
}

// Seeks to the key frame at or before the start and sets the range; 64-bit
// throughout, since a 1/90000 clock passes 32 bits within hours. The input just
// opened reads from its start already: a seek there could only land later (an
// MPEG-TS seek searches by decoding time and passes a first key frame whose
// decoding time lies before the stream's start). No decoder is open yet, so none
// needs flushing.
Status SeekToStart(TrimJob &job, int32_t startSeconds, int32_t endSeconds) noexcept {
  const Status st = startSeconds == 0 ? Status::Ok
                                      : SeekToSecond(job.in.get(), nullptr, job.videoIndex,
                                                     static_cast<uint32_t>(startSeconds));
  if (!IsOk(st)) return st;
  job.startTs = SecondToStreamTimestamp(job.videoIn, startSeconds);
  job.endTs = SecondToStreamTimestamp(job.videoIn, endSeconds);
  return Status::Ok;
}

// The output in the container type the input's name suggests, with a copy of the
// audio.
Status CreateOutput(TrimJob &job, const AVOutputFormat *format, const char *outputPath) noexcept {
  const Status st = job.out.Create(format, outputPath);
  return IsOk(st) ? AddCopyStream(job.out.get(), job.audioIn, job.audioOut) : st;
}

// The pictures of the range re-encoded to the input's codec where the container
// takes it and an encoder exists (else the container's usual codec), at the
// input's size and stated bit rate, with the fast settings an edit needs. The range
// starts the output at 0; AVI, which stores no timestamps, would otherwise play the
// sound a range-start ahead of the pictures.
Status OpenVideo(TrimJob &job) noexcept {
  VideoReencodeRequest req;
  req.speed = EncodeSpeed::Fast;
  req.startTs = job.startTs;
  req.endTs = job.endTs;
  const Status st = job.video.Open(req, job.videoIn, job.out.get());
  if (!IsOk(st)) return st;
  job.video.OutStream()->avg_frame_rate = av_inv_q(job.video.Encoder()->time_base);
  return Status::Ok;
}

// Decodes one video packet and writes what the encoder finished. A failure of the
// encoder or the write ends the trim; a packet the decoder rejects is skipped under
// the rule of core/decoder.h.
Status TrimVideoPacket(TrimJob &job, const AVPacket *pkt) noexcept {
  const Status st = job.video.SendPacket(pkt);
  return IsOk(st) ? WriteFinishedPackets(job.video, job.out) : st;
}

// Copies an audio packet that starts within the range.
Status CopyAudio(TrimJob &job, AVPacket *pkt) noexcept {
  const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
  if (ts == AV_NOPTS_VALUE) return Status::Ok;
  const AVRational tb = job.audioIn->time_base, videoTb = job.videoIn->time_base;
  if (av_compare_ts(ts, tb, job.endTs, videoTb) >= 0) {
    job.audioDone = true;
    return Status::Ok;
  }
  if (av_compare_ts(ts, tb, job.startTs, videoTb) < 0) return Status::Ok;
  RescalePacketTimes(pkt, tb, job.audioOut->time_base);
  ShiftPacketTimes(pkt, RescaleTs(job.startTs, videoTb, job.audioOut->time_base));
  pkt->stream_index = job.audioOut->index;
  return job.out.Write(pkt);
}

// Reads from the start's key frame until both streams have passed the end or the
// input ends (a cut-off or damaged tail ends it too), then drains the video engine.
Status CopyRange(TrimJob &job) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  while (!(job.video.PastEnd() && job.audioDone)) {
    Status st = ReadPacket(job.in.get(), pkt.get());
    if (st == Status::Eof) break;
    if (!IsOk(st)) return st;
    if (pkt->stream_index == job.audioIndex) {
      st = CopyAudio(job, pkt.get());
    } else if (pkt->stream_index == job.videoIndex && !job.video.PastEnd()) {
      st = TrimVideoPacket(job, pkt.get());
    }
    av_packet_unref(pkt.get());
    if (!IsOk(st)) return st;
  }
  // The decoder still holds the last pictures of the input, the encoder the last
  // of the range.
  const Status st = job.video.Finish();
  if (!IsOk(st)) return st;
  if (job.video.PicturesEncoded() == 0) return Status::Eof;
  return WriteFinishedPackets(job.video, job.out);
}

Status RunTrim(TrimJob &job, const char *inputPath, const char *outputPath, int32_t startSeconds,
               int32_t endSeconds) noexcept {
  const AVOutputFormat *format = EditOutputFormat(inputPath);
  Status st = format ? Status::Ok : kNoMuxer;
  if (IsOk(st)) st = OpenInput(job, inputPath);
  if (IsOk(st)) st = SeekToStart(job, startSeconds, endSeconds);
  if (IsOk(st)) st = CreateOutput(job, format, outputPath);
  if (IsOk(st)) st = OpenVideo(job);
  if (IsOk(st)) st = job.out.WriteHeader();
  if (IsOk(st)) st = CopyRange(job);
  if (IsOk(st)) st = job.out.Finish();
  return st;
}

}  // namespace

Status TrimVideo(const char *inputPath, const char *outputPath, int32_t startSeconds, int32_t endSeconds) noexcept {
  const char *inputs[] = {inputPath};
  const Status st = RefuseOutputNamingInput(outputPath, inputs);
  if (!IsOk(st)) return st;
  TrimJob job;
  return RunTrim(job, inputPath, outputPath, startSeconds, endSeconds);
}

}  // namespace mpg
