#include "edit/edit_job.h"

#include "core/packet_write.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "platform/platform.h"
#include "transcode/audio_path.h"
#include "transcode/setup.h"

namespace mpg {

Status GuessFormatFromInputName(const char *inputPath, const AVOutputFormat *&format) noexcept {
  format = av_guess_format(nullptr, inputPath, nullptr);
  return format ? Status::Ok : Status::Exit;
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
  Status st = OpenAudioInput(job.out.get(), inputPath, AV_CODEC_ID_NONE, job.audioIn, job.audioOut, job.audioDecCtx,
                             job.audioEncCtx);
  if (!IsOk(st)) return st;
  st = AddCopyVideoStream(job.out.get(), inputPath, job.videoIn, job.videoOut);
  if (!IsOk(st)) return st;
  // Both contexts probed the same file, so the choice made on audioIn names the
  // same stream in videoIn: its packets are the ones the output parameters describe.
  job.audioIndex = FindBestAudioStream(job.videoIn.get());
  job.videoIndex = FindFirstStreamOfType(job.videoIn.get(), AVMEDIA_TYPE_VIDEO);
  if (job.audioIndex < 0) return Status::AudioStreamNotFound;
  if (job.videoIndex < 0) return Status::VideoStreamNotFound;
  return Status::Ok;
}

Status WriteEditHeader(EditJob &job) noexcept {
  const int ret = avformat_write_header(job.out.get(), nullptr);
  return ret < 0 ? StatusFromAv(ret) : Status::Ok;
}

Status RemuxPackets(EditJob &job, int32_t shiftMs, VideoPacketStage &stage) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return Status::NoMemory;
  const AVStream *audioIn = job.videoIn->streams[job.audioIndex];
  const AVStream *videoIn = job.videoIn->streams[job.videoIndex];
  // The shift in the output audio stream's ticks (22050 for 500 ms at 1/44100).
  const int64_t audioOffset = RescaleTs(shiftMs, AVRational{1, 1000}, job.audioOut->time_base);
  for (;;) {
    int ret = av_read_frame(job.videoIn.get(), pkt.get());
    if (ret == AVERROR(EAGAIN)) continue;
    // Some demuxers report a cut-off file as an I/O error at its end.
    if (ret == AVERROR_EOF || ret == AVERROR(EIO)) return Status::Ok;
    if (ret < 0) return StatusFromAv(ret);
    if (pkt->stream_index == job.audioIndex) {
      RescalePacketTimes(pkt.get(), audioIn->time_base, job.audioOut->time_base);
      if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += audioOffset;
      if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += audioOffset;
      pkt->stream_index = job.audioOut->index;
    } else if (pkt->stream_index == job.videoIndex) {
      bool stop = false;
      const Status st = stage.OnVideoPacket(pkt.get(), stop);
      if (!IsOk(st) || stop) {
        av_packet_unref(pkt.get());
        return st;
      }
      RescalePacketTimes(pkt.get(), videoIn->time_base, job.videoOut->time_base);
      pkt->stream_index = job.videoOut->index;
    } else {
      // A subtitle, data or second audio stream has no place in the output.
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
