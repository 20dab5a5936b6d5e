#include "edit/edit_job.h"

#include "core/packet_write.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "platform/platform.h"
#include "codec/audio_path.h"

namespace mpg {

namespace {

// Where one input stream's packets go: its output stream, the input's start (in
// the input stream's time base) and the shift (in the output stream's).
struct CopyRoute {
  const AVStream *in = nullptr;
  AVStream *out = nullptr;
  int64_t startTs = 0;
  int64_t shiftTs = 0;
};

void RoutePacket(AVPacket *pkt, const CopyRoute &route) noexcept {
  ShiftPacketTimes(pkt, route.startTs);
  RescalePacketTimes(pkt, route.in->time_base, route.out->time_base);
  ShiftPacketTimes(pkt, -route.shiftTs);
  pkt->stream_index = route.out->index;
}

}  // namespace

Status GuessFormatFromInputName(const char *inputPath, const AVOutputFormat *&format) noexcept {
  format = av_guess_format(nullptr, inputPath, nullptr);
  return format ? Status::Ok : Status::MuxerNotFound;
}

Status CreateEditOutput(EditJob &job, const AVOutputFormat *format, const char *outputPath) noexcept {
  AVFormatContext *out = nullptr;
  int ret = avformat_alloc_output_context2(&out, format, nullptr, outputPath);
  if (ret < 0) return StatusFromAv(ret);
  if (!out) return Status::Unknown;
  job.out.reset(out);
  if (out->oformat->flags & AVFMT_NOFILE) return Status::Ok;
  ret = avio_open2(&out->pb, outputPath, AVIO_FLAG_WRITE, nullptr, nullptr);
  return ret < 0 ? StatusFromAv(ret) : Status::Ok;
}

Status OpenEditInputs(EditJob &job, const char *inputPath) noexcept {
  Status st = OpenInputFile(inputPath, job.videoIn);
  if (!IsOk(st)) return st;
  AVFormatContext *in = job.videoIn.get();
  job.audioIndex = FindBestAudioStream(in);
  job.videoIndex = FindMovingVideoStream(in);
  if (job.audioIndex < 0) return Status::AudioStreamNotFound;
  if (job.videoIndex < 0) return Status::VideoStreamNotFound;
  st = AddCopyStream(job.out.get(), in->streams[job.audioIndex], job.audioOut);
  if (!IsOk(st)) return st;
  return AddCopyStream(job.out.get(), in->streams[job.videoIndex], job.videoOut);
}

Status WriteEditHeader(EditJob &job) noexcept {
  const int ret = avformat_write_header(job.out.get(), nullptr);
  return ret < 0 ? StatusFromAv(ret) : Status::Ok;
}

Status RemuxPackets(EditJob &job, int32_t shiftMs, VideoPacketStage &stage) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  AVFormatContext *in = job.videoIn.get();
  CopyRoute audio{in->streams[job.audioIndex], job.audioOut};
  CopyRoute video{in->streams[job.videoIndex], job.videoOut};
  audio.startTs = InputStartOffset(in, audio.in->time_base);
  video.startTs = InputStartOffset(in, video.in->time_base);
  // The shift in the output audio's ticks (22050 for 500 ms at 1/44100).
  audio.shiftTs = RescaleTs(shiftMs, AVRational{1, 1000}, audio.out->time_base);
  for (;;) {
    int ret = av_read_frame(in, pkt.get());
    if (ret == AVERROR(EAGAIN)) continue;
    // Some demuxers report a cut-off file as an I/O error at its end.
    if (ret == AVERROR_EOF || ret == AVERROR(EIO)) return Status::Ok;
    if (ret < 0) return StatusFromAv(ret);
    if (pkt->stream_index == job.audioIndex) {
      RoutePacket(pkt.get(), audio);
    } else if (pkt->stream_index == job.videoIndex) {
      bool stop = false;
      const Status st = stage.OnVideoPacket(pkt.get(), stop);
      if (!IsOk(st) || stop) {
        av_packet_unref(pkt.get());
        return st;
      }
      RoutePacket(pkt.get(), video);
    } else {
      // A subtitle, data, cover or second audio stream has no place in the output.
      av_packet_unref(pkt.get());
      continue;
    }
    // The write takes the packet's reference.
    WritePacket(job.out.get(), pkt.get());
    av_packet_unref(pkt.get());
  }
}

Status WriteEditTrailer(EditJob &job) noexcept {
  AVFormatContext *out = job.out.get();
  const int ret = av_write_trailer(out);
  if (ret < 0) return StatusFromAv(ret);
  if (out->pb) {
    avio_flush(out->pb);
    if (out->pb->error < 0) return StatusFromAv(out->pb->error);
  }
  return Status::Ok;
}

Status DeleteOutputOnFailure(Status st, const char *outputPath) noexcept {
  if (!IsOk(st) && outputPath && *outputPath) platform::DeleteFile(outputPath);
  return st;
}

}  // namespace mpg
