#include "core/input.h"

#include <string>

#include "platform/platform.h"

namespace mpg {

namespace {

// A demuxer that keeps answering "try again" has stopped making progress.
constexpr int kMaxReadRetries = 1000;

// The options every input opens with: only the file protocol, so neither the
// path nor a playlist inside the file can reach the network or another protocol.
DictPtr FileOnlyOptions() noexcept {
  AVDictionary *raw = nullptr;
  av_dict_set(&raw, "protocol_whitelist", "file", 0);
  return DictPtr(raw);
}

}  // namespace

std::string FileUrl(const std::string &path) { return "file:" + path; }

Status OpenInputFileUnprobed(const char *path, InputFormatPtr &ctx, bool *fileOpened) noexcept {
  ctx.reset();
  if (fileOpened) *fileOpened = false;
  if (!path || !*path) return StatusFromAv(AVERROR(EINVAL));
  // FFmpeg's file protocol on Windows retries a read it could not open with the
  // path read in the ANSI code page, where UTF-8 bytes spell another name (those of
  // "caf\u00e9" spell "caf\u00c3\u00a9" in code page 1252): a missing input never
  // gets that far.
  if (platform::IsMissing(path)) return StatusFromAv(AVERROR(ENOENT));
  std::string url;
  try {
    url = FileUrl(path);
  } catch (...) {
    return Status::NoMemory;
  }
  DictPtr options = FileOnlyOptions();
  AVDictionary *rawOptions = options.release();
  AVFormatContext *raw = nullptr;
  // avformat_open_input frees the context itself when it fails.
  int ret = avformat_open_input(&raw, url.c_str(), nullptr, &rawOptions);
  options.reset(rawOptions);
  // Windows refuses to open a folder as a file with EACCES; say what it is, as
  // POSIX systems do.
  if (ret < 0 && platform::GetFileKind(path) == platform::FileKind::Directory) ret = AVERROR(EISDIR);
  if (ret < 0) return StatusFromAv(ret);
  if (!raw) return Status::Unknown;
  ctx.reset(raw);
  if (fileOpened) *fileOpened = true;
  return Status::Ok;
}

Status ProbeStreams(InputFormatPtr &ctx) noexcept {
  const int ret = avformat_find_stream_info(ctx.get(), nullptr);
  if (ret >= 0) return Status::Ok;
  ctx.reset();
  return StatusFromAv(ret);
}

Status OpenInputFile(const char *path, InputFormatPtr &ctx, bool *fileOpened) noexcept {
  const Status st = OpenInputFileUnprobed(path, ctx, fileOpened);
  return IsOk(st) ? ProbeStreams(ctx) : st;
}

Status ReadPacket(AVFormatContext *in, AVPacket *pkt) noexcept {
  for (int attempt = 0; attempt < kMaxReadRetries; ++attempt) {
    const int ret = av_read_frame(in, pkt);
    if (ret >= 0) return Status::Ok;
    if (ret == AVERROR(EAGAIN)) continue;
    if (ret == AVERROR_EOF || ret == AVERROR(EIO) || ret == AVERROR_INVALIDDATA) return Status::Eof;
    return StatusFromAv(ret);
  }
  return StatusFromAv(AVERROR(EAGAIN));
}

}  // namespace mpg
