#include "merge/merge_job.h"

#include "core/streams.h"

namespace mpg {

Status CreateOutputContext(MergeJob &job, const char *outputPath) noexcept {
  const AVOutputFormat *format = av_guess_format(job.containerName.c_str(), nullptr, nullptr);
  if (!format) return Status::MuxerNotFound;
  AVFormatContext *out = nullptr;
  const int ret = avformat_alloc_output_context2(&out, format, nullptr, outputPath);
  if (ret < 0) return StatusFromAv(ret);
  if (!out) return Status::Unknown;
  job.out.reset(out);
  return Status::Ok;
}

Status AddVideoCopyStream(AVFormatContext *out, AVFormatContext *in, AVStream *&outStream) noexcept {
  outStream = nullptr;
  // A cover picture has one packet and no timeline: it is not the video.
  const int index = FindMovingVideoStream(in);
  if (index < 0) return Status::VideoStreamNotFound;
  const AVStream *inStream = in->streams[index];
  AVStream *st = nullptr;
  const Status status = AddCopyStream(out, inStream, st);
  if (!IsOk(status)) return status;
  // AVI derives its frame rate from the stream time base; VP9 from WebM would
  // otherwise get the muxer's default 1/90000.
  const AVRational rate = inStream->avg_frame_rate;
  if (st->codecpar->codec_id == AV_CODEC_ID_VP9 && st->time_base.num == 0 && st->time_base.den == 0 &&
      rate.num != 0 && rate.den != 0) {
    st->time_base = av_inv_q(rate);
  }
  outStream = st;
  return Status::Ok;
}

Status AddAudioCopyStream(AVFormatContext *out, AVFormatContext *in, AVStream *&outStream) noexcept {
  outStream = nullptr;
  const int index = FindUsableAudioStream(in);
  if (index < 0) return Status::AudioStreamNotFound;
  const AVStream *inStream = in->streams[index];
  AVStream *st = nullptr;
  const Status status = AddCopyStream(out, inStream, st);
  if (!IsOk(status)) return status;
  st->duration = inStream->duration;
  st->time_base = inStream->time_base;
  st->sample_aspect_ratio = inStream->codecpar->sample_aspect_ratio;
  outStream = st;
  return Status::Ok;
}

namespace {

using AddCopyStreamFn = Status (*)(AVFormatContext *, AVFormatContext *, AVStream *&) noexcept;

// Opens path and adds one copy stream of it to out; the input is handed out only
// when both steps succeed.
Status OpenInputForCopy(AVFormatContext *out, const char *path, AddCopyStreamFn addStream, InputFormatPtr &in,
                        AVStream *&outStream) noexcept {
  in.reset();
  outStream = nullptr;
  InputFormatPtr opened;
  Status status = OpenInputFile(path, opened);
  if (IsOk(status)) status = addStream(out, opened.get(), outStream);
  if (IsOk(status)) in = std::move(opened);
  return status;
}

}  // namespace

Status OpenVideoInputForCopy(AVFormatContext *out, const char *path, InputFormatPtr &in,
                             AVStream *&outStream) noexcept {
  return OpenInputForCopy(out, path, AddVideoCopyStream, in, outStream);
}

Status OpenAudioInputForCopy(AVFormatContext *out, const char *path, InputFormatPtr &in,
                             AVStream *&outStream) noexcept {
  return OpenInputForCopy(out, path, AddAudioCopyStream, in, outStream);
}

int64_t MeasureMergeDuration(AVFormatContext *ctx1, AVStream *st1, AVFormatContext *ctx2,
                             AVStream *st2) noexcept {
  if (ctx1 && st1) {
    int64_t d = MeasureDurationBySeek(ctx1, st1);
    if (d != 0) return d;
  }
  if (ctx2 && st2) return MeasureDurationBySeek(ctx2, st2);
  return 0;
}

}  // namespace mpg
