// FLV duration repair: FFmpeg's FLV muxer makes a fresh head for the file's own
// streams, stating the duration measured from the file's last tags. A head as long
// as the old one is written over it in place, in one write once all else is done;
// otherwise the head and the file's tags after its old head, byte for byte, go into
// a new temporary file beside it, which is renamed over the file only when it is
// complete. After a failure the file is as it was, or holds the whole new head when
// only flushing it failed, and the temporary file is removed.
#include "edit/flv_fix.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "core/decoder.h"
#include "core/input.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "platform/platform.h"

namespace mpg {

namespace {

// FLV layout (Adobe FLV file format, E.4): a 9-byte header whose last four bytes
// give its length, then tags, each followed by a 32-bit PreviousTagSize.
constexpr int kFileHeaderBytes = 9;
constexpr int kTagHeaderBytes = 11;
constexpr int kPreviousTagSizeBytes = 4;
constexpr uint8_t kTagAudio = 8;
constexpr uint8_t kTagVideo = 9;
constexpr uint8_t kTagScript = 18;
constexpr uint8_t kTagTypeMask = 0x1F;  // the upper bits flag filtered (encrypted) tags
constexpr uint8_t kSoundFormatAac = 10;
constexpr uint8_t kVideoCodecAvc = 7;
constexpr uint8_t kVideoCodecMpeg4 = 9;  // FFmpeg's own id for MPEG-4 Part 2
constexpr uint8_t kVideoCodecHevc = 12;
constexpr uint8_t kSequenceHeader = 0;  // AACPacketType / AVCPacketType of codec set-up
// Media tags the walk back from the end of the file passes at least: enough to pass
// the reordering of B-frames and the interleaving of the two streams, so that the
// tag that ends the media is among them.
constexpr int kTailTags = 64;
// Tags the walk passes at most looking for the last tag of each stream (one stream
// ended long before the other) before every packet is read instead.
constexpr int kMaxTailTags = 4096;
// How far a media tag's timestamp may lie above those of the tags after it: muxers
// write the streams interleaved in timestamp order, live recorders nearly so. A
// larger step means the timestamps jump, and only reading every tag finds the end.
constexpr int64_t kMaxDisorderMs = 1000;
constexpr int kCopyChunkBytes = 1 << 20;
// Keys the metadata of the old head keeps that describe its old layout.
constexpr std::string_view kStaleKeys[] = {"lasttimestamp", "lastkeyframetimestamp", "lastkeyframelocation",
                                           "datasize",      "videosize",             "audiosize",
                                           "canSeekToEnd",  "keyframes"};

// A file opened through FFmpeg's I/O layer, closed on destruction.
struct FileIo {
  AVIOContext *pb = nullptr;
  FileIo() = default;
  FileIo(const FileIo &) = delete;
  FileIo &operator=(const FileIo &) = delete;
  ~FileIo() { avio_closep(&pb); }
};

struct RepairJob {
  std::string path;
  InputFormatPtr in;  // the file as media: its streams, metadata and packets
  FileIo file;        // the file as bytes: its head, its last tags, the tags copied
  int audioIndex = -1;
  int videoIndex = -1;
  uint64_t fileSize = 0;
  uint64_t oldHeadBytes = 0;
  int64_t firstTagMs = -1;  // timestamp of the first media tag after the head
  int64_t durationUs = 0;   // the measured duration, AV_TIME_BASE units
  std::string head;         // the new head
  std::string tmpPath;      // the temporary file this repair made; empty when none is left
};

uint32_t ReadBe(const uint8_t *p, int bytes) noexcept {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}

bool ReadAt(AVIOContext *pb, uint64_t pos, uint8_t *buf, int size) noexcept {
  if (avio_seek(pb, static_cast<int64_t>(pos), SEEK_SET) < 0) return false;
  return avio_read(pb, buf, size) == size;
}

// One tag header and the first bytes of its data.
struct TagInfo {
  uint8_t type = 0;
  uint32_t dataBytes = 0;
  int64_t timestampMs = 0;  // decoding time; 24 bits and an extension byte above them
  uint8_t data[2] = {};
  int dataRead = 0;
};

bool ReadTag(AVIOContext *pb, uint64_t pos, TagInfo &tag) noexcept {
  uint8_t h[kTagHeaderBytes];
  if (!ReadAt(pb, pos, h, kTagHeaderBytes)) return false;
  tag.type = h[0] & kTagTypeMask;
  tag.dataBytes = ReadBe(h + 1, 3);
  tag.timestampMs = static_cast<int64_t>(ReadBe(h + 4, 3) | uint32_t{h[7]} << 24);
  tag.dataRead = static_cast<int>(std::min<uint32_t>(tag.dataBytes, sizeof tag.data));
  return avio_read(pb, tag.data, tag.dataRead) == tag.dataRead;
}

// The codec set-up tags the FLV muxer writes into a head.
bool IsSequenceHeader(const TagInfo &tag) noexcept {
  if (tag.dataRead < 2 || tag.data[1] != kSequenceHeader) return false;
  if (tag.type == kTagAudio) return tag.data[0] >> 4 == kSoundFormatAac;
  const uint8_t codec = tag.data[0] & 0x0F;
  return tag.type == kTagVideo && (codec == kVideoCodecAvc || codec == kVideoCodecMpeg4 || codec == kVideoCodecHevc);
}

Status OpenInput(RepairJob &job) noexcept {
  const Status st = OpenInputFile(job.path.c_str(), job.in);
  if (!IsOk(st)) return st;
  job.audioIndex = FindUsableAudioStream(job.in.get());
  job.videoIndex = FindFirstStreamOfType(job.in.get(), AVMEDIA_TYPE_VIDEO);
  return job.audioIndex < 0 ? Status::AudioStreamNotFound : Status::Ok;
}

// Proves the audio can be decoded; the decoder is not used further. The repair has
// always told a host "no decoder" with AVERROR_EXIT, unlike the other jobs.
Status CheckAudioDecoder(const RepairJob &job) noexcept {
  const AVStream *st = job.in->streams[job.audioIndex];
  if (!avcodec_find_decoder(st->codecpar->codec_id)) return Status::Exit;
  CodecContextPtr decCtx;
  return OpenDecoder(st, decCtx);
}

// The old head: the file header, then the leading script and codec set-up tags.
Status FindOldHead(RepairJob &job) {
  const int ret = avio_open2(&job.file.pb, FileUrl(job.path).c_str(), AVIO_FLAG_READ, nullptr, nullptr);
  if (ret < 0) return StatusFromAv(ret);
  const int64_t size = avio_size(job.file.pb);
  if (size < kFileHeaderBytes + kPreviousTagSizeBytes) return Status::InvalidData;
  job.fileSize = static_cast<uint64_t>(size);
  uint8_t h[kFileHeaderBytes];
  if (!ReadAt(job.file.pb, 0, h, kFileHeaderBytes) || std::memcmp(h, "FLV", 3) != 0) return Status::InvalidData;
  uint64_t pos = ReadBe(h + 5, 4) + uint64_t{kPreviousTagSizeBytes};
  TagInfo tag;
  while (pos + kTagHeaderBytes <= job.fileSize && ReadTag(job.file.pb, pos, tag)) {
    if (tag.type != kTagScript && !IsSequenceHeader(tag)) {
      job.firstTagMs = tag.timestampMs;
      break;
    }
    pos += uint64_t{kTagHeaderBytes} + tag.dataBytes + kPreviousTagSizeBytes;
  }
  if (pos > job.fileSize) return Status::InvalidData;
  job.oldHeadBytes = pos;
  return Status::Ok;
}

// Where reading the packets must start to meet every tag that could end the media:
// the walk back from the end of the file by each tag's PreviousTagSize, checking
// every tag it passes, to the last audio and video tags and kTailTags media tags at
// least. Nothing when every packet must be read: the tail does not hold together
// (a recording cut off), its timestamps jump, or the walk reached the head.
std::optional<uint64_t> FindTailStart(RepairJob &job) noexcept {
  bool audioSeen = false, videoSeen = job.videoIndex < 0;
  int mediaTags = 0;
  // The least timestamp of the media tags passed; before the first, any will do.
  int64_t laterMs = INT64_MAX - kMaxDisorderMs;
  uint64_t pos = job.fileSize;
  for (int i = 0; i < kMaxTailTags && pos > job.oldHeadBytes; ++i) {
    uint8_t b[kPreviousTagSizeBytes];
    if (!ReadAt(job.file.pb, pos - kPreviousTagSizeBytes, b, kPreviousTagSizeBytes)) return std::nullopt;
    const uint64_t tagBytes = ReadBe(b, 4);
    if (tagBytes < kTagHeaderBytes || tagBytes + kPreviousTagSizeBytes > pos - job.oldHeadBytes) return std::nullopt;
    pos -= tagBytes + kPreviousTagSizeBytes;
    TagInfo tag;
    if (!ReadTag(job.file.pb, pos, tag) || tag.dataBytes + kTagHeaderBytes != tagBytes) return std::nullopt;
    if (tag.type != kTagAudio && tag.type != kTagVideo && tag.type != kTagScript) return std::nullopt;
    if (tag.type == kTagScript || IsSequenceHeader(tag)) continue;
    if (tag.timestampMs > laterMs + kMaxDisorderMs) return std::nullopt;
    laterMs = std::min(laterMs, tag.timestampMs);
    audioSeen = audioSeen || tag.type == kTagAudio;
    videoSeen = videoSeen || tag.type == kTagVideo;
    if (++mediaTags >= kTailTags && audioSeen && videoSeen) return pos;
  }
  return std::nullopt;
}

// The end of the media from every packet read from where the demuxer stands; what
// was read counts even when a read fails on the way.
int64_t MeasureFromPackets(RepairJob &job) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return -1;
  int64_t endMs = -1;
  const AVRational ms = {1, 1000};
  AVFormatContext *in = job.in.get();
  while (IsOk(ReadPacket(in, pkt.get()))) {
    const AVStream *st = in->streams[pkt->stream_index];
    const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
    if ((pkt->stream_index == job.audioIndex || pkt->stream_index == job.videoIndex) && ts != AV_NOPTS_VALUE) {
      endMs = std::max(endMs, RescaleTs(ts, st->time_base, ms) + RescaleDuration(pkt->duration, st->time_base, ms));
    }
    av_packet_unref(pkt.get());
  }
  return endMs;
}

// The packets of the file's tail when it holds together, else all of them: the
// same packets end the media either way, and FFmpeg gives each its duration.
Status MeasureDuration(RepairJob &job) noexcept {
  if (const std::optional<uint64_t> tailStart = FindTailStart(job)) {
    const int ret = av_seek_frame(job.in.get(), -1, static_cast<int64_t>(*tailStart), AVSEEK_FLAG_BYTE);
    if (ret < 0) return StatusFromAv(ret);
  }
  const int64_t endMs = MeasureFromPackets(job);
  const int64_t startMs = job.firstTagMs > 0 ? job.firstTagMs : 0;
  job.durationUs = endMs > startMs ? RescaleDuration(endMs - startMs, AVRational{1, 1000}, AV_TIME_BASE_Q) : 0;
  return Status::Ok;
}

// The output context with copies of the file's own streams, and the metadata the
// file states besides its layout (title, encoder), so the head describes the same.
// The copies need codec parameters only, so codecs this build cannot encode (VP6F)
// get their head too.
Status PrepareOutput(const RepairJob &job, AVFormatContext *out) noexcept {
  // The muxer writes the codec set-up tags in stream order; the file's own order
  // keeps the new head laid out as the old one.
  const bool videoFirst = job.videoIndex >= 0 && job.videoIndex < job.audioIndex;
  for (int pass = 0; pass < 2; ++pass) {
    const bool audioPass = (pass == 0) != videoFirst;
    const int index = audioPass ? job.audioIndex : job.videoIndex;
    if (index < 0) continue;
    const AVStream *inStream = job.in->streams[index];
    AVStream *outStream = nullptr;
    const Status st = AddCopyStream(out, inStream, outStream);
    if (!IsOk(st)) return st;
    // The muxer states the frame rate only when the stream has one.
    if (!audioPass) outStream->avg_frame_rate = inStream->avg_frame_rate;
  }
  const AVDictionaryEntry *e = nullptr;
  while ((e = av_dict_get(job.in->metadata, "", e, AV_DICT_IGNORE_SUFFIX))) {
    if (std::find(std::begin(kStaleKeys), std::end(kStaleKeys), std::string_view(e->key)) != std::end(kStaleKeys)) {
      continue;
    }
    if (av_dict_set(&out->metadata, e->key, e->value, 0) < 0) return Status::NoMemory;
  }
  // The muxer adds its own "encoder" entry unless told to be bit-exact; a file that
  // states none gets none, so the heads stay alike.
  if (!av_dict_get(job.in->metadata, "encoder", nullptr, 0)) out->flags |= AVFMT_FLAG_BITEXACT;
  // The FLV muxer writes the context's duration into the metadata; a fresh context
  // holds 0.
  out->duration = job.durationUs;
  return Status::Ok;
}

// The muxer writes the head into memory: no packet and no trailer.
Status WriteHead(AVFormatContext *out, std::string &head) noexcept {
  int ret = avio_open_dyn_buf(&out->pb);
  if (ret < 0) return StatusFromAv(ret);
  ret = avformat_write_header(out, nullptr);
  uint8_t *bytes = nullptr;
  const int size = avio_close_dyn_buf(out->pb, &bytes);
  // The buffer is closed: the context's owner must not close it as a file.
  out->pb = nullptr;
  const AvBufferPtr owned(bytes);
  if (ret < 0) return StatusFromAv(ret);
  if (!bytes || size <= 0) return Status::NoMemory;
  try {
    head.assign(reinterpret_cast<const char *>(bytes), static_cast<size_t>(size));
  } catch (...) {
    return Status::NoMemory;
  }
  return Status::Ok;
}

Status MakeHead(RepairJob &job) noexcept {
  AVFormatContext *raw = nullptr;
  const int ret = avformat_alloc_output_context2(&raw, nullptr, "flv", nullptr);
  if (ret < 0) return StatusFromAv(ret);
  if (!raw) return Status::NoMemory;
  const OutputFormatPtr out(raw);
  const Status st = PrepareOutput(job, raw);
  return IsOk(st) ? WriteHead(raw, job.head) : st;
}

// Writes value as the AMF number after the metadata key (AMF0: a 16-bit length,
// the key, the type byte 0, then a big-endian IEEE double).
void SetAmfNumber(std::string &head, std::string_view key, double value) noexcept {
  std::string pattern;
  pattern += static_cast<char>(key.size() >> 8);
  pattern += static_cast<char>(key.size() & 0xFF);
  pattern += key;
  pattern += '\0';
  const size_t at = head.find(pattern);
  if (at == std::string::npos || at + pattern.size() + 8 > head.size()) return;
  uint64_t bits = std::bit_cast<uint64_t>(value);
  for (int i = 7; i >= 0; --i, bits >>= 8) head[at + pattern.size() + i] = static_cast<char>(bits & 0xFF);
}

// The muxer states the duration in whole seconds (it divides integers) and leaves
// the file size for its trailer; both get their exact values here.
void CompleteHead(RepairJob &job) noexcept {
  SetAmfNumber(job.head, "duration", TimestampToSeconds(job.durationUs, AV_TIME_BASE_Q));
  const uint64_t newSize = job.head.size() + (job.fileSize - job.oldHeadBytes);
  SetAmfNumber(job.head, "filesize", static_cast<double>(newSize));
}

// The new head, then the file's tags after the old head, byte for byte, into a
// temporary file made beside the file for this repair alone.
Status WriteTemporaryFile(RepairJob &job) {
  const std::optional<std::string> tmpPath = platform::CreateUniqueFileBeside(job.path.c_str());
  if (!tmpPath) return StatusFromAv(AVERROR(EIO));
  job.tmpPath = std::move(*tmpPath);
  FileIo tmp;
  const int ret = avio_open2(&tmp.pb, FileUrl(job.tmpPath).c_str(), AVIO_FLAG_WRITE, nullptr, nullptr);
  if (ret < 0) return StatusFromAv(ret);
  avio_write(tmp.pb, reinterpret_cast<const unsigned char *>(job.head.data()), static_cast<int>(job.head.size()));
  if (avio_seek(job.file.pb, static_cast<int64_t>(job.oldHeadBytes), SEEK_SET) < 0) return StatusFromAv(AVERROR(EIO));
  std::string chunk(kCopyChunkBytes, '\0');
  uint64_t copied = 0;
  for (;;) {
    const int n = avio_read(job.file.pb, reinterpret_cast<unsigned char *>(chunk.data()), kCopyChunkBytes);
    if (n == AVERROR_EOF || n == 0) break;
    if (n < 0) return StatusFromAv(n);
    avio_write(tmp.pb, reinterpret_cast<const unsigned char *>(chunk.data()), n);
    copied += static_cast<uint64_t>(n);
  }
  avio_flush(tmp.pb);
  // A file that changed size under the repair would lose or gain tags.
  if (tmp.pb->error < 0 || copied != job.fileSize - job.oldHeadBytes) return StatusFromAv(AVERROR(EIO));
  // Closing hands the last bytes to the system: check that too.
  return avio_closep(&tmp.pb) < 0 ? StatusFromAv(AVERROR(EIO)) : Status::Ok;
}

// Every handle of the repair on the file is closed: Windows replaces no file that
// is open, and the head is written through a handle of its own.
void CloseFile(RepairJob &job) noexcept {
  job.in.reset();
  avio_closep(&job.file.pb);
}

// A new head as long as the old one takes its place, in one write, the tags after
// it untouched: nothing is copied, and the file stays the one its links name.
Status OverwriteHead(RepairJob &job) noexcept {
  CloseFile(job);
  const bool written = platform::OverwriteFileAt(job.path.c_str(), job.fileSize, 0, job.head);
  return written ? Status::Ok : StatusFromAv(AVERROR(EIO));
}

// The complete temporary file takes the file's place in one step.
Status ReplaceFile(RepairJob &job) noexcept {
  CloseFile(job);
  if (!platform::RenameFile(job.tmpPath.c_str(), job.path.c_str())) return StatusFromAv(AVERROR(EIO));
  job.tmpPath.clear();
  return Status::Ok;
}

// Steps that need memory for a name or a buffer throw std::bad_alloc without it.
Status Repair(RepairJob &job) {
  Status st = OpenInput(job);
  if (IsOk(st)) st = CheckAudioDecoder(job);
  if (IsOk(st)) st = FindOldHead(job);
  if (IsOk(st)) st = MeasureDuration(job);
  // No media tag at all: there is no duration to state.
  if (!IsOk(st) || job.durationUs == 0) return st;
  st = MakeHead(job);
  if (!IsOk(st)) return st;
  CompleteHead(job);
  if (job.head.size() == job.oldHeadBytes) return OverwriteHead(job);
  st = WriteTemporaryFile(job);
  return IsOk(st) ? ReplaceFile(job) : st;
}

}  // namespace

Status RepairFlvDuration(const char *path) noexcept {
  RepairJob job;
  Status st = Status::Ok;
  try {
    job.path = path;
    st = Repair(job);
  } catch (...) {
    st = Status::NoMemory;
  }
  // Only the temporary file this repair made is removed; its handle is closed.
  if (!job.tmpPath.empty()) platform::DeleteFile(job.tmpPath.c_str());
  return st;
}

}  // namespace mpg
