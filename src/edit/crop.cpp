// Crop: the input's audio and first moving video stream rewritten packet by packet
// into a new file of the container type the input's name suggests, the timeline
// moved to start at 0. Refuses an input without audio or without moving video (a
// cover picture is none) and an output that names the input. After any failure
// the output path is removed.
#include "edit/crop.h"

#include "core/codec_loop.h"
#include "edit/edit_job.h"
#include "core/output_file.h"

namespace mpg {

namespace {

// The diagnostics the crop writes; the level and the callback belong to the host.
void LogCropError(const char *text) noexcept { av_log(nullptr, AV_LOG_ERROR, "%s", text); }

// Opens the input once on its own to tell an unreadable file from one FFmpeg
// cannot probe, as the two diagnostics do.
Status CheckInputOpens(const char *inputPath) noexcept {
  AVFormatContext *raw = nullptr;
  int ret = avformat_open_input(&raw, inputPath, nullptr, nullptr);
  if (ret < 0) {
    // avformat_open_input frees the context on failure.
    LogCropError("Cannot open input file\n");
    return StatusFromAv(ret);
  }
  InputFormatPtr in(raw);
  ret = avformat_find_stream_info(in.get(), nullptr);
  if (ret < 0) {
    LogCropError("Cannot find stream information\n");
    return StatusFromAv(ret);
  }
  return Status::Ok;
}

// The frame stage: proves that the video decodes by decoding up to its first
// picture. A decoder that holds its pictures back (AVERROR(EAGAIN)) is only
// waiting for more packets; after the first picture no packet is decoded, so
// the copy costs no full decode. The packet itself is written as read.
class FirstPictureCheck final : public VideoPacketStage {
 public:
  Status Open(const AVStream *st) noexcept {
    const AVCodec *decoder = avcodec_find_decoder(st->codecpar->codec_id);
    if (!decoder) return Status::Unknown;
    decCtx_.reset(avcodec_alloc_context3(decoder));
    if (!decCtx_) return Status::Unknown;
    int ret = avcodec_parameters_to_context(decCtx_.get(), st->codecpar);
    if (ret < 0) return StatusFromAv(ret);
    decCtx_->pkt_timebase = st->time_base;
    ret = avcodec_open2(decCtx_.get(), decoder, nullptr);
    if (ret < 0) return StatusFromAv(ret);
    frame_ = MakeFrame();
    return frame_ ? Status::Ok : Status::NoMemory;
  }

  Status OnVideoPacket(const AVPacket *pkt, bool &) noexcept override {
    if (gotPicture_) return Status::Ok;
    return Decode(pkt);
  }

  // The end of the input: a stream whose pictures all stayed in the decoder is
  // drained, so its first one is still looked at.
  Status Finish() noexcept { return gotPicture_ ? Status::Ok : Decode(nullptr); }

 private:
  Status Decode(const AVPacket *pkt) noexcept {
    return DecodePacket(decCtx_.get(), pkt, frame_.get(), [this](AVFrame *) {
      gotPicture_ = true;
      return Status::Ok;
    });
  }

  CodecContextPtr decCtx_;
  FramePtr frame_;
  bool gotPicture_ = false;
};

Status OpenInputs(EditJob &job, const char *inputPath) noexcept {
  const Status st = OpenEditInputs(job, inputPath);
  if (st == Status::AudioStreamNotFound || st == Status::VideoStreamNotFound) {
    LogCropError("Cannot find a video stream in the input file\n");
  }
  return st;
}

Status OpenVideoDecoder(EditJob &job, FirstPictureCheck &check) noexcept {
  const Status st = check.Open(job.videoIn->streams[job.videoIndex]);
  if (!IsOk(st)) LogCropError("Cannot open video decoder\n");
  return st;
}

Status RunCrop(EditJob &job, FirstPictureCheck &check, const char *inputPath, const char *outputPath) noexcept {
  const AVOutputFormat *format = nullptr;
  Status st = GuessFormatFromInputName(inputPath, format);
  if (IsOk(st)) st = CheckInputOpens(inputPath);
  if (IsOk(st)) st = CreateEditOutput(job, format, outputPath);
  if (IsOk(st)) st = OpenInputs(job, inputPath);
  if (IsOk(st)) st = OpenVideoDecoder(job, check);
  if (IsOk(st)) st = WriteEditHeader(job);
  if (IsOk(st)) st = RemuxPackets(job, 0, check);
  if (IsOk(st)) st = check.Finish();
  if (IsOk(st)) st = WriteEditTrailer(job);
  return st;
}

}  // namespace

Status CropFile(const char *inputPath, const char *outputPath) noexcept {
  const char *inputs[] = {inputPath};
  if (!IsOk(RefuseOutputNamingInput(outputPath, inputs))) return Status::SameFile;
  Status st;
  {
    EditJob job;
    FirstPictureCheck check;
    st = RunCrop(job, check, inputPath, outputPath);
  }  // the output is closed before its path is removed
  return DeleteOutputOnFailure(st, outputPath);
}

}  // namespace mpg
