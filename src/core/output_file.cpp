#include "core/output_file.h"

#include "core/input.h"
#include "core/packet_write.h"
#include "platform/platform.h"

namespace mpg {

Status RefuseOutputNamingInput(const char *outputPath, std::span<const char *const> inputs) noexcept {
  for (const char *input : inputs) {
    if (input && platform::IsSameFile(outputPath, input)) return Status::SameFile;
  }
  return Status::Ok;
}

OutputFile::~OutputFile() {
  if (!opened_ || finished_) return;
  // Close before removing: the file must not be held open while it is deleted.
  ctx_.reset();
  // Only a file: a device named as the output (/dev/full, /dev/null) is not the job's to remove.
  if (platform::GetFileKind(path_.c_str()) == platform::FileKind::Regular) platform::DeleteFile(path_.c_str());
}

Status OutputFile::Create(const AVOutputFormat *format, const char *path) noexcept {
  if (!format) return kNoMuxer;
  if (!path || !*path) return StatusFromAv(AVERROR(EINVAL));
  try {
    path_ = path;
  } catch (...) {
    return Status::NoMemory;
  }
  AVFormatContext *raw = nullptr;
  const int ret = avformat_alloc_output_context2(&raw, format, nullptr, path);
  if (ret < 0) return StatusFromAv(ret);
  if (!raw) return Status::NoMemory;
  ctx_.reset(raw);
  return Status::Ok;
}

Status OutputFile::Create(const char *muxerName, const char *path) noexcept {
  return Create(av_guess_format(muxerName, nullptr, nullptr), path);
}

Status OutputFile::WriteHeader(AVDictionary **options) noexcept {
  if (!ctx_) return StatusFromAv(AVERROR(EINVAL));
  if (!(ctx_->oformat->flags & AVFMT_NOFILE) && !ctx_->pb) {
    std::string url;
    try {
      url = FileUrl(path_);
    } catch (...) {
      return Status::NoMemory;
    }
    const int ret = avio_open2(&ctx_->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr);
    if (ret < 0) return StatusFromAv(ret);
    opened_ = true;
  }
  const int ret = avformat_write_header(ctx_.get(), options);
  if (ret < 0) return StatusFromAv(ret);
  headerWritten_ = true;
  return Status::Ok;
}

Status OutputFile::IoError() const noexcept {
  return ctx_ && ctx_->pb && ctx_->pb->error < 0 ? StatusFromAv(ctx_->pb->error) : Status::Ok;
}

Status OutputFile::Write(AVPacket *pkt) noexcept {
  const int ret = WritePacket(ctx_.get(), pkt);
  if (ret >= 0) return Status::Ok;
  const Status io = IoError();
  if (!IsOk(io)) return io;
  if (ret == AVERROR(ENOMEM) || ++refusedPackets_ > kMaxRefusedPackets) return StatusFromAv(ret);
  return Status::Ok;
}

Status OutputFile::Finish() noexcept {
  if (!headerWritten_) return StatusFromAv(AVERROR(EINVAL));
  const int ret = av_write_trailer(ctx_.get());
  if (ret < 0) return StatusFromAv(ret);
  if (ctx_->pb) avio_flush(ctx_->pb);
  const Status io = IoError();
  if (!IsOk(io)) return io;
  // Closing hands the last buffered bytes to the system: check that too.
  if (ctx_->pb && !(ctx_->oformat->flags & AVFMT_NOFILE)) {
    const int closed = avio_closep(&ctx_->pb);
    if (closed < 0) return StatusFromAv(closed);
  }
  finished_ = true;
  return Status::Ok;
}

}  // namespace mpg
