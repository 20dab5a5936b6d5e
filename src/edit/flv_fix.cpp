// FLV duration repair: FFmpeg's FLV muxer writes a fresh head for the file's own
// streams into path + ".tmp", stating the duration measured from the file's last
// tags; the head replaces the old one in place when the lengths agree, else the
// temporary file becomes the whole new file and is renamed over the original.
// On failure the original is unchanged and the temporary file is removed.
#include "edit/flv_fix.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <string_view>

#include "core/streams.h"
#include "core/timebase.h"
#include "platform/platform.h"

namespace mpg {

namespace {

// The outcome of the last repair: FLV_FixDuration's contract keeps it between calls.
int32_t lastFlvStatus = 0;

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
// Tags looked at from the end of the file for the last timestamps; enough to pass
// the reordering of B-frames and the interleaving of the two streams.
constexpr int kTailTags = 64;
// A head (header, metadata and codec set-up) is a few kilobytes.
constexpr uint64_t kMaxHeadBytes = 16 << 20;
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
  explicit RepairJob(const char *p) : path(p), tmpPath(std::string(p) + ".tmp") {}

  std::string path;
  std::string tmpPath;
  InputFormatPtr probe;
  OutputFormatPtr out;  // writes the new head; its streams copy the probe's
  CodecContextPtr audioDecCtx;
  FileIo file;  // the original, read for its head and its last tags
  int audioIndex = -1;
  int videoIndex = -1;
  uint64_t fileSize = 0;
  uint64_t oldHeadBytes = 0;
  int64_t firstTagMs = -1;   // timestamp of the first media tag after the head
  int64_t durationUs = 0;    // the measured duration, AV_TIME_BASE units
  std::string head;          // the new head
  bool tmpMade = false;
};

// Stores the step's status and tells whether it failed.
bool Failed(Status st) noexcept {
  lastFlvStatus = Code(st);
  return !IsOk(st);
}

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
  uint8_t data[5] = {};
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

// Presentation time of a media tag: AVC and HEVC tags add a signed 24-bit
// composition offset to the tag's decoding time.
int64_t TagPtsMs(const TagInfo &tag) noexcept {
  if (tag.type != kTagVideo || tag.dataRead < 5) return tag.timestampMs;
  const uint8_t codec = tag.data[0] & 0x0F;
  if (codec != kVideoCodecAvc && codec != kVideoCodecHevc) return tag.timestampMs;
  int32_t cts = static_cast<int32_t>(ReadBe(tag.data + 2, 3));
  if (cts & 0x800000) cts -= 0x1000000;
  return tag.timestampMs + cts;
}

Status OpenProbe(RepairJob &job) noexcept {
  AVFormatContext *raw = nullptr;
  int ret = avformat_open_input(&raw, job.path.c_str(), nullptr, nullptr);
  // avformat_open_input frees the context on failure.
  if (ret < 0) return StatusFromAv(ret);
  job.probe.reset(raw);
  ret = avformat_find_stream_info(raw, nullptr);
  if (ret < 0) return StatusFromAv(ret);
  job.audioIndex = FindUsableAudioStream(raw);
  job.videoIndex = FindFirstStreamOfType(raw, AVMEDIA_TYPE_VIDEO);
  return job.audioIndex < 0 ? Status::AudioStreamNotFound : Status::Ok;
}

// Proves the audio can be decoded; the decoder is not used further.
Status CheckAudioDecoder(RepairJob &job) noexcept {
  const AVCodecParameters *par = job.probe->streams[job.audioIndex]->codecpar;
  const AVCodec *decoder = avcodec_find_decoder(par->codec_id);
  if (!decoder) return Status::DecoderNotFound;
  job.audioDecCtx.reset(avcodec_alloc_context3(decoder));
  if (!job.audioDecCtx) return Status::Unknown;
  int ret = avcodec_parameters_to_context(job.audioDecCtx.get(), par);
  if (ret >= 0) ret = avcodec_open2(job.audioDecCtx.get(), decoder, nullptr);
  return ret < 0 ? StatusFromAv(ret) : Status::Ok;
}

// The old head: the file header, then the leading script and codec set-up tags.
Status FindOldHead(RepairJob &job) noexcept {
  const int ret = avio_open(&job.file.pb, job.path.c_str(), AVIO_FLAG_READ);
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

// One frame of the stream in milliseconds, to count the last frame's own length.
int64_t FrameMs(const AVStream *st) noexcept {
  if (!st) return 0;
  const AVCodecParameters *par = st->codecpar;
  if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
    if (par->frame_size <= 0 || par->sample_rate <= 0) return 0;
    return RescaleDuration(par->frame_size, AVRational{1, par->sample_rate}, AVRational{1, 1000});
  }
  const AVRational rate = st->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) return 0;
  return RescaleDuration(1, av_inv_q(rate), AVRational{1, 1000});
}

// The end of the media from the last tags, walking back by PreviousTagSize. False
// when the tail does not hold together (a file cut short).
bool MeasureFromTail(RepairJob &job, int64_t &endMs) noexcept {
  const AVStream *audio = job.probe->streams[job.audioIndex];
  const AVStream *video = job.videoIndex >= 0 ? job.probe->streams[job.videoIndex] : nullptr;
  int64_t audioEnd = -1, videoEnd = -1;
  uint64_t pos = job.fileSize;
  for (int i = 0; i < kTailTags && pos > job.oldHeadBytes; ++i) {
    uint8_t b[kPreviousTagSizeBytes];
    if (!ReadAt(job.file.pb, pos - kPreviousTagSizeBytes, b, kPreviousTagSizeBytes)) return false;
    const uint64_t tagBytes = ReadBe(b, 4);
    if (tagBytes < kTagHeaderBytes || tagBytes + kPreviousTagSizeBytes > pos - job.oldHeadBytes) return false;
    pos -= tagBytes + kPreviousTagSizeBytes;
    TagInfo tag;
    if (!ReadTag(job.file.pb, pos, tag) || tag.dataBytes + kTagHeaderBytes != tagBytes) return false;
    if (IsSequenceHeader(tag)) continue;
    if (tag.type == kTagAudio) audioEnd = std::max(audioEnd, TagPtsMs(tag) + FrameMs(audio));
    if (tag.type == kTagVideo) videoEnd = std::max(videoEnd, TagPtsMs(tag) + FrameMs(video));
  }
  endMs = std::max(audioEnd, videoEnd);
  return endMs >= 0;
}

// The end of the media from every packet, for a file whose tail is broken.
int64_t MeasureFromPackets(RepairJob &job) noexcept {
  PacketPtr pkt = MakePacket();
  if (!pkt) return -1;
  int64_t endMs = -1;
  const AVRational ms = {1, 1000};
  AVFormatContext *in = job.probe.get();
  for (;;) {
    const int ret = av_read_frame(in, pkt.get());
    if (ret == AVERROR(EAGAIN)) continue;
    if (ret < 0) break;
    const AVStream *st = in->streams[pkt->stream_index];
    const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
    if ((pkt->stream_index == job.audioIndex || pkt->stream_index == job.videoIndex) && ts != AV_NOPTS_VALUE) {
      endMs = std::max(endMs, RescaleTs(ts, st->time_base, ms) + RescaleDuration(pkt->duration, st->time_base, ms));
    }
    av_packet_unref(pkt.get());
  }
  return endMs;
}

Status MeasureDuration(RepairJob &job) noexcept {
  int64_t endMs = -1;
  if (!MeasureFromTail(job, endMs)) endMs = MeasureFromPackets(job);
  const int64_t startMs = job.firstTagMs > 0 ? job.firstTagMs : 0;
  job.durationUs = endMs > startMs ? RescaleDuration(endMs - startMs, AVRational{1, 1000}, AV_TIME_BASE_Q) : 0;
  return Status::Ok;
}

// The output context with copies of the file's own streams, and the metadata the
// file states besides its layout (title, encoder), so the head describes the same.
// The copies need codec parameters only, so codecs this build cannot encode (VP6F)
// get their head too.
Status PrepareOutput(RepairJob &job) noexcept {
  const AVOutputFormat *format = av_guess_format("flv", nullptr, nullptr);
  AVFormatContext *raw = nullptr;
  if (!format) return Status::MuxerNotFound;
  const int ret = avformat_alloc_output_context2(&raw, format, nullptr, job.path.c_str());
  if (ret < 0) return StatusFromAv(ret);
  if (!raw) return Status::NoMemory;
  job.out.reset(raw);
  AVFormatContext *out = raw;
  // The muxer writes the codec set-up tags in stream order; the file's own order
  // keeps the new head laid out as the old one.
  const bool videoFirst = job.videoIndex >= 0 && job.videoIndex < job.audioIndex;
  for (int pass = 0; pass < 2; ++pass) {
    const bool audioPass = (pass == 0) != videoFirst;
    const int index = audioPass ? job.audioIndex : job.videoIndex;
    if (index < 0) continue;
    const AVStream *inStream = job.probe->streams[index];
    AVStream *outStream = nullptr;
    const Status st = AddCopyStream(out, inStream, outStream);
    if (!IsOk(st)) return st;
    // The muxer states the frame rate only when the stream has one.
    if (!audioPass) outStream->avg_frame_rate = inStream->avg_frame_rate;
  }
  const AVDictionaryEntry *e = nullptr;
  while ((e = av_dict_get(job.probe->metadata, "", e, AV_DICT_IGNORE_SUFFIX))) {
    if (std::find(std::begin(kStaleKeys), std::end(kStaleKeys), std::string_view(e->key)) != std::end(kStaleKeys)) {
      continue;
    }
    if (av_dict_set(&out->metadata, e->key, e->value, 0) < 0) return Status::NoMemory;
  }
  // The muxer adds its own "encoder" entry unless told to be bit-exact; a file that
  // states none gets none, so the heads stay alike.
  if (!av_dict_get(job.probe->metadata, "encoder", nullptr, 0)) out->flags |= AVFMT_FLAG_BITEXACT;
  // The FLV muxer writes the context's duration into the metadata; a fresh context
  // holds 0.
  out->duration = job.durationUs;
  return Status::Ok;
}

// The muxer writes the head into the temporary file; no packet and no trailer.
Status WriteHeadToTemporaryFile(RepairJob &job) noexcept {
  AVFormatContext *out = job.out.get();
  int ret = avio_open2(&out->pb, job.tmpPath.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr);
  if (ret < 0) return StatusFromAv(ret);
  job.tmpMade = true;
  ret = avformat_write_header(out, nullptr);
  if (ret < 0) return StatusFromAv(ret);
  avio_flush(out->pb);
  const int ioError = out->pb->error;
  job.out.reset();
  if (ioError < 0) return StatusFromAv(ioError);
  std::string head;
  if (platform::ReadWholeFile(job.tmpPath.c_str(), kMaxHeadBytes, head) != platform::ReadResult::Ok || head.empty()) {
    return StatusFromAv(AVERROR(EIO));
  }
  job.head = std::move(head);
  return Status::Ok;
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

// The new head, then the file's tags after the old head, byte for byte.
Status WriteNewFile(RepairJob &job) noexcept {
  FileIo tmp;
  if (avio_open(&tmp.pb, job.tmpPath.c_str(), AVIO_FLAG_WRITE) < 0) return StatusFromAv(AVERROR(EIO));
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
  if (tmp.pb->error < 0 || copied != job.fileSize - job.oldHeadBytes) return StatusFromAv(AVERROR(EIO));
  if (avio_closep(&tmp.pb) < 0) return StatusFromAv(AVERROR(EIO));
  avio_closep(&job.file.pb);
  if (!platform::RenameFile(job.tmpPath.c_str(), job.path.c_str())) return StatusFromAv(AVERROR(EIO));
  job.tmpMade = false;
  return Status::Ok;
}

// In place when the new head fills exactly the old one's bytes; otherwise the
// tags after the old head would no longer line up, and a new file is written.
Status ReplaceHead(RepairJob &job) noexcept {
  CompleteHead(job);
  if (job.head.size() != job.oldHeadBytes) return WriteNewFile(job);
  avio_closep(&job.file.pb);
  if (!platform::WriteFileAt(job.path.c_str(), 0, job.head)) return StatusFromAv(AVERROR(EIO));
  return Status::Ok;
}

bool Repair(RepairJob &job) noexcept {
  if (Failed(OpenProbe(job))) return false;
  if (Failed(CheckAudioDecoder(job))) return false;
  if (Failed(FindOldHead(job))) return false;
  if (Failed(MeasureDuration(job))) return false;
  // No media tag at all: there is no duration to state.
  if (job.durationUs == 0) return true;
  if (Failed(PrepareOutput(job))) return false;
  if (Failed(WriteHeadToTemporaryFile(job))) return false;
  job.probe.reset();
  return !Failed(ReplaceHead(job));
}

}  // namespace

int32_t LastFlvStatus() noexcept { return lastFlvStatus; }

bool RepairFlvDuration(const char *path) noexcept {
  lastFlvStatus = 0;
  bool ok = false;
  std::string tmpPath;
  bool removeTmp = false;
  try {
    RepairJob job(path);
    ok = Repair(job);
    tmpPath = job.tmpPath;
    removeTmp = job.tmpMade;
  } catch (...) {
    lastFlvStatus = Code(Status::NoMemory);
    return false;
  }
  // Only the temporary file this repair made is removed, once every handle on it
  // is closed.
  if (removeTmp) platform::DeleteFile(tmpPath.c_str());
  if (ok) lastFlvStatus = 0;
  return ok;
}

}  // namespace mpg
