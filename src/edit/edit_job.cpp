#include "edit/edit_job.h"

#include "core/input.h"
#include "core/streams.h"
#include "core/timebase.h"

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

const AVOutputFormat *EditOutputFormat(const char *inputPath) noexcept {
  return av_guess_format(nullptr, inputPath, nullptr);
}

Status CreateEditOutput(EditJob &job, const char *inputPath, const char *outputPath) noexcept {
  return job.out.Create(EditOutputFormat(inputPath), outputPath);
}

Status OpenEditInputs(EditJob &job, const char *inputPath, bool *fileOpened) noexcept {
  Status st = OpenInputFile(inputPath, job.videoIn, fileOpened);
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

Status RemuxPackets(EditJob &job, int32_t shiftMs, VideoPacketStage &stage) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  AVFormatContext *in = job.videoIn.get();
  CopyRoute audio{in->streams[job.audioIndex], job.audioOut};
  CopyRoute video{in->streams[job.videoIndex], job.videoOut};
  audio.startTs = InputStartOffset(in, {audio.in, video.in}, audio.in->time_base);
  video.startTs = InputStartOffset(in, {audio.in, video.in}, video.in->time_base);
  // The shift in the output audio's ticks (22050 for 500 ms at 1/44100).
  audio.shiftTs = RescaleTs(shiftMs, AVRational{1, 1000}, audio.out->time_base);
  for (;;) {
    Status st = ReadPacket(in, pkt.get());
    if (st == Status::Eof) return Status::Ok;
    if (!IsOk(st)) return st;
    // Packets of any other stream (a subtitle, data, cover or second audio stream)
    // have no place in the output.
    const CopyRoute *route = pkt->stream_index == job.audioIndex   ? &audio
                             : pkt->stream_index == job.videoIndex ? &video
                                                                   : nullptr;
    bool stop = false;
    if (route == &video) st = stage.OnVideoPacket(pkt.get(), stop);
    if (route && IsOk(st) && !stop) {
      RoutePacket(pkt.get(), *route);
      // The write takes the packet's reference.
      st = job.out.Write(pkt.get());
    }
    av_packet_unref(pkt.get());
    if (!IsOk(st) || stop) return st;
  }
}

}  // namespace mpg
