#include "core/output_file.h"

#include <cstring>

#include "core/input.h"
#include "core/packet_write.h"
#include "platform/platform.h"

namespace mpg {

namespace {

// Muxers that store H.264 and H.265 as a stream of start-code-delimited NAL units
// (ISO/IEC 14496-10 Annex B) and keep no configuration record to say otherwise:
// AVI and ASF name the codec by a FourCC alone, MPEG-TS and MPEG-PS (with its DVD,
// VCD and SVCD variants) and the raw elementary streams carry the bytes as they are.
constexpr const char *kStartCodeMuxers[] = {"avi", "asf",  "asf_stream", "mpegts", "mpeg", "vob",
                                            "dvd", "svcd", "vcd",        "h264",   "hevc"};

bool StoresStartCodes(const AVOutputFormat *fmt) noexcept {
  for (const char *name : kStartCodeMuxers) {
    if (std::strcmp(fmt->name, name) == 0) return true;
  }
  return false;
}

// The bitstream filter that turns par's packets into the start-code form, or null
// when they need none: only a stream described by a configuration record (avcC,
// hvcC; its first byte is the record's version, 1) carries length-prefixed units.
// Encoders and Annex B inputs state their parameter sets as start-code units.
const char *StartCodeFilterName(const AVOutputFormat *fmt, const AVCodecParameters *par) noexcept {
  if (!StoresStartCodes(fmt) || par->extradata_size < 1 || par->extradata[0] != 1) return nullptr;
  if (par->codec_id == AV_CODEC_ID_H264) return "h264_mp4toannexb";
  if (par->codec_id == AV_CODEC_ID_HEVC) return "hevc_mp4toannexb";
  return nullptr;
}

}  // namespace

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
  const Status st = OpenStreamFilters();
  if (!IsOk(st)) return st;
  const int ret = avformat_write_header(ctx_.get(), options);
  if (ret < 0) return StatusFromAv(ret);
  headerWritten_ = true;
  return Status::Ok;
}

Status OutputFile::OpenStreamFilters() noexcept {
  try {
    filters_.clear();
    filters_.resize(ctx_->nb_streams);
  } catch (...) {
    return Status::NoMemory;
  }
  for (unsigned i = 0; i < ctx_->nb_streams; ++i) {
    AVStream *st = ctx_->streams[i];
    const char *name = StartCodeFilterName(ctx_->oformat, st->codecpar);
    if (!name) continue;
    const AVBitStreamFilter *filter = av_bsf_get_by_name(name);
    // A build without the filter writes the packets as they come.
    if (!filter) continue;
    AVBSFContext *raw = nullptr;
    int ret = av_bsf_alloc(filter, &raw);
    if (ret < 0) return StatusFromAv(ret);
    BsfPtr bsf(raw);
    ret = avcodec_parameters_copy(bsf->par_in, st->codecpar);
    if (ret < 0) return StatusFromAv(ret);
    bsf->time_base_in = st->time_base;
    ret = av_bsf_init(bsf.get());
    if (ret < 0) return StatusFromAv(ret);
    // The header describes what the filter gives: parameter sets as start-code units.
    ret = avcodec_parameters_copy(st->codecpar, bsf->par_out);
    if (ret < 0) return StatusFromAv(ret);
    st->codecpar->codec_tag = 0;
    filters_[i] = std::move(bsf);
  }
  return Status::Ok;
}

Status OutputFile::IoError() const noexcept {
  return ctx_ && ctx_->pb && ctx_->pb->error < 0 ? StatusFromAv(ctx_->pb->error) : Status::Ok;
}

Status OutputFile::WriteToMuxer(AVPacket *pkt) noexcept {
  const int ret = WritePacket(ctx_.get(), pkt);
  if (ret >= 0) return Status::Ok;
  const Status io = IoError();
  if (!IsOk(io)) return io;
  if (ret == AVERROR(ENOMEM) || ++refusedPackets_ > kMaxRefusedPackets) return StatusFromAv(ret);
  return Status::Ok;
}

// Hands pkt (null: the end of the stream) to filter, which takes its reference, and
// writes every packet the filter gives back; pkt is scratch space for them. A packet
// the filter cannot convert (damaged length fields) is dropped as a refused one.
Status OutputFile::WriteFiltered(AVBSFContext *filter, AVPacket *pkt) noexcept {
  PacketPtr scratch;
  if (!pkt) {
    scratch = MakePacket();
    if (!scratch) return Status::NoMemory;
  }
  int ret = av_bsf_send_packet(filter, pkt);
  AVPacket *out = pkt ? pkt : scratch.get();
  while (ret >= 0) {
    ret = av_bsf_receive_packet(filter, out);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return Status::Ok;
    if (ret >= 0) {
      const Status st = WriteToMuxer(out);
      if (!IsOk(st)) return st;
    }
  }
  if (pkt) av_packet_unref(pkt);
  if (ret == AVERROR(ENOMEM) || ++refusedPackets_ > kMaxRefusedPackets) return StatusFromAv(ret);
  return Status::Ok;
}

Status OutputFile::Write(AVPacket *pkt) noexcept {
  const auto index = static_cast<size_t>(pkt->stream_index);
  if (pkt->stream_index >= 0 && index < filters_.size() && filters_[index]) {
    return WriteFiltered(filters_[index].get(), pkt);
  }
  return WriteToMuxer(pkt);
}

Status OutputFile::Finish() noexcept {
  if (!headerWritten_) return StatusFromAv(AVERROR(EINVAL));
  for (const BsfPtr &filter : filters_) {
    if (!filter) continue;
    const Status st = WriteFiltered(filter.get(), nullptr);
    if (!IsOk(st)) return st;
  }
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
