// Crop: the input's audio and first moving video stream rewritten packet by packet
// into a new file of the container type the input's name suggests, the timeline
// moved to start at 0, once the video is known to decode. Refuses an input without
// audio or without moving video (a cover picture is none) and an output that names
// the input, leaving the output path untouched; a later failure removes the file.
#include "edit/crop.h"

#include "core/codec_loop.h"
#include "core/decoder.h"
#include "edit/edit_job.h"

namespace mpg {

namespace {

// The diagnostics the crop writes; the level and the callback belong to the host.
void LogCropError(const char *text) noexcept { av_log(nullptr, AV_LOG_ERROR, "%s", text); }

// The frame stage: proves that the video decodes by decoding up to its first
// picture, skipping the packets the decoder rejects by the library's rule. A
// decoder that holds its pictures back is only waiting for more packets; after the
// first picture no packet is decoded, so the copy costs no full decode. The packet
// itself is written as read.
class FirstPictureCheck final : public VideoPacketStage {
 public:
  Status Open(const AVStream *st) noexcept {
    const Status opened = OpenDecoder(st, decCtx_);
    if (!IsOk(opened)) return opened;
    frame_ = MakeFrame();
    return frame_ ? Status::Ok : Status::NoMemory;
  }

  Status OnVideoPacket(const AVPacket *pkt, bool &) noexcept override {
    return gotPicture_ ? Status::Ok : Decode(pkt);
  }

  // The end of the input: a stream whose pictures all stayed in the decoder is
  // drained, so its first one is still looked at.
  Status Finish() noexcept { return gotPicture_ ? Status::Ok : Decode(nullptr); }

 private:
  Status Decode(const AVPacket *pkt) noexcept {
    return DecodePacket(decCtx_.get(), pkt, frame_.get(), errors_, [this](AVFrame *) {
      gotPicture_ = true;
      return Status::Ok;
    });
  }

  CodecContextPtr decCtx_;
  FramePtr frame_;
  DecodeErrorRun errors_;
  bool gotPicture_ = false;
};

Status OpenInputs(EditJob &job, const char *inputPath) noexcept {
  bool fileOpened = false;
  const Status st = OpenEditInputs(job, inputPath, &fileOpened);
  if (st == Status::AudioStreamNotFound || st == Status::VideoStreamNotFound) {
    LogCropError("Cannot find a video stream in the input file\n");
  } else if (!IsOk(st) && !job.videoIn) {
    LogCropError(fileOpened ? "Cannot find stream information\n" : "Cannot open input file\n");
  }
  return st;
}

Status OpenVideoDecoder(EditJob &job, FirstPictureCheck &check) noexcept {
  const Status st = check.Open(job.videoIn->streams[job.videoIndex]);
  if (!IsOk(st)) LogCropError("Cannot open video decoder\n");
  return st;
}

Status RunCrop(EditJob &job, FirstPictureCheck &check, const char *inputPath, const char *outputPath) noexcept {
  Status st = CreateEditOutput(job, inputPath, outputPath);
  if (IsOk(st)) st = OpenInputs(job, inputPath);
  if (IsOk(st)) st = OpenVideoDecoder(job, check);
  if (IsOk(st)) st = job.out.WriteHeader();
  if (IsOk(st)) st = RemuxPackets(job, 0, check);
  if (IsOk(st)) st = check.Finish();
  if (IsOk(st)) st = job.out.Finish();
  return st;
}

}  // namespace

Status CropFile(const char *inputPath, const char *outputPath) noexcept {
  const char *inputs[] = {inputPath};
  if (!IsOk(RefuseOutputNamingInput(outputPath, inputs))) return Status::SameFile;
  EditJob job;
  FirstPictureCheck check;
  return RunCrop(job, check, inputPath, outputPath);
}

}  // namespace mpg
