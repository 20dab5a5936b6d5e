// Audio shift: the input's audio and first moving video stream remuxed into a new
// file of the input's container type, starting at 0, every audio timestamp moved by
// a constant. Refuses an input without audio or without moving video (a cover
// picture is none) and an output that names the input, leaving the output path
// untouched; a later failure removes the file; a stop by the host finishes it.
#include "edit/shift_audio.h"

#include "core/progress.h"
#include "core/streams.h"
#include "edit/edit_job.h"

namespace mpg {

namespace {

// Progress from each video packet's time since the video stream's start, over the
// stream's length. Values only grow and never pass the scale, even for inputs
// whose timestamps do not start at 0 (MPEG-TS) or run past the stated length.
class ShiftProgress final : public VideoPacketStage {
 public:
  ShiftProgress(ProgressCallback callback, uintptr_t user) noexcept : reporter_(callback, user) {}

  void Measure(const AVFormatContext *in, const AVStream *st) noexcept {
    startTs_ = StreamStartTimestamp(in, st);
    // Matroska states no stream length; the container's then stands in.
    lengthTs_ = StatedDuration(in, st).value_or(0);
  }

  Status OnVideoPacket(const AVPacket *pkt, bool &stop) noexcept override {
    if (pkt->pts != AV_NOPTS_VALUE) stop = reporter_.ReportPosition(pkt->pts - startTs_, lengthTs_);
    return Status::Ok;
  }

  // The last report, after a stop too: hosts close their progress display on it.
  void Finish() noexcept { reporter_.ReportFinal(); }

 private:
  ProgressReporter reporter_;
  int64_t startTs_ = 0;
  int64_t lengthTs_ = 0;
};

Status RunShift(EditJob &job, ShiftProgress &progress, const char *inputPath, const char *outputPath,
                int32_t shiftMs) noexcept {
  Status st = CreateEditOutput(job, inputPath, outputPath);
  if (IsOk(st)) st = OpenEditInputs(job, inputPath);
  if (IsOk(st)) {
    progress.Measure(job.videoIn.get(), job.videoIn->streams[job.videoIndex]);
    st = job.out.WriteHeader();
  }
  if (IsOk(st)) st = RemuxPackets(job, shiftMs, progress);
  if (IsOk(st)) st = job.out.Finish();
  if (IsOk(st)) progress.Finish();
  return st;
}

}  // namespace

Status ShiftAudioFile(const char *inputPath, const char *outputPath, int32_t shiftMs, ProgressCallback callback,
                      uintptr_t user) noexcept {
  const char *inputs[] = {inputPath};
  if (!IsOk(RefuseOutputNamingInput(outputPath, inputs))) return Status::SameFile;
  EditJob job;
  ShiftProgress progress(callback, user);
  return RunShift(job, progress, inputPath, outputPath, shiftMs);
}

}  // namespace mpg
