#include "merge/merge_job.h"

#include "core/streams.h"
#include "platform/platform.h"

namespace mpg {

namespace {

// A stream for out named after the input's codec. Nothing is encoded; the lookup
// only refuses codecs the linked libavcodec cannot name.
// Adds to out a stream carrying inStream's packets unchanged: every codec parameter
// (extradata with its padding, the channel layout) is copied; only the tag is left
// to the muxer, since the input container's tag may mean nothing in the output.
// An encoder for the codec must be known to the linked libavcodec.
Status NewCopyStream(AVFormatContext *out, const AVStream *inStream, AVStream *&outStream) {
  outStream = nullptr;
  const AVCodec *encoder = avcodec_find_encoder(inStream->codecpar->codec_id);
  if (!encoder) return Status::Unknown;
  AVStream *st = avformat_new_stream(out, encoder);
  if (!st) return Status::Unknown;
  const int ret = avcodec_parameters_copy(st->codecpar, inStream->codecpar);
  if (ret < 0) return StatusFromAv(ret);
  st->codecpar->codec_tag = 0;
  outStream = st;
  return Status::Ok;
}

}  // namespace

Status RefuseOutputNamingInput(const char *outputPath, std::span<const char *const> inputs) noexcept {
  for (const char *input : inputs) {
    if (input && platform::IsSameFile(outputPath, input)) return Status::SameFile;
  }
  return Status::Ok;
}

Status CreateOutputContext(MergeJob &job, const char *outputPath) noexcept {
  const AVOutputFormat *format = av_guess_format(job.containerName.c_str(), nullptr, nullptr);
  if (!format) return Status::Exit;
  AVFormatContext *out = nullptr;
  const int ret = avformat_alloc_output_context2(&out, format, nullptr, outputPath);
  if (ret < 0) return StatusFromAv(ret);
  if (!out) return Status::Unknown;
  job.out.reset(out);
  return Status::Ok;
}

Status AddVideoCopyStream(AVFormatContext *out, AVFormatContext *in, AVStream *&outStream) noexcept {
  outStream = nullptr;
  const int index = FindFirstStreamOfType(in, AVMEDIA_TYPE_VIDEO);
  if (index < 0) return Status::VideoStreamNotFound;
  const AVStream *inStream = in->streams[index];
  AVStream *st = nullptr;
  const Status status = NewCopyStream(out, inStream, st);
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
  const Status status = NewCopyStream(out, inStream, st);
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

}  // namespace mpg
