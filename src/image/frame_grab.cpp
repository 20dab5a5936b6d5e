// The frame grab: one picture of the first moving video stream (else of the cover
// picture of a song), scaled and converted to packed RGB24, then written to a file or
// built as a BMP in memory. Inputs without any picture, or without a decoder for it,
// are refused before the output is opened, and leave whatever stood at its path; an
// image file whose writing fails is removed by its writer. Neither grab ever writes
// to a path that names its input.
#include "image/frame_grab.h"

#include "codec/picture_scaler.h"
#include "core/codec_loop.h"
#include "core/decoder.h"
#include "core/input.h"
#include "core/output_file.h"
#include "core/progress.h"
#include "core/seek.h"
#include "core/streams.h"
#include "core/timebase.h"
#include "image/image_writers.h"
#include "image/jpeg/jpeg_encoder.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace mpg {

namespace {

// The memory grab converts one decoded picture in this many.
constexpr int64_t kSampleInterval = 20;
// Past the first picture of one colour at its target, the file grab looks this far for a
// picture with content (a title after a black lead-in) before it takes that first one: a
// clip or an end that stays black must not be decoded to its end while a host waits for
// its thumbnail. Pictures count where the stream gives no timestamps.
constexpr int64_t kUniformSearchMs = 1000;
constexpr int kUniformSearchPictures = 30;
// Bilinear scaling with accurate rounding in the colour conversion.
constexpr int kScaleFlags = SWS_FAST_BILINEAR | SWS_ACCURATE_RND;

// A packed RGB24 picture: av_image_alloc with alignment 1 leaves no gap between rows.
struct RgbPicture {
  AvBufferPtr data;
  int size = 0;

  uint8_t *bytes() const noexcept { return static_cast<uint8_t *>(data.get()); }
};

// Everything one grab opens, released in reverse order on every path: the pictures,
// the packet and the frame, the decoder, then the input.
struct GrabSession {
  InputFormatPtr input;
  int videoIndex = -1;
  CodecContextPtr decCtx;
  DecodeErrorRun decodeErrors;  // packets the decoder rejected in a row
  FramePtr frame;
  PacketPtr pkt;
  ImageSize outSize;
  PictureScaler scaler{kScaleFlags, 1};  // one picture at a time: no threads
  RgbPicture picture;                    // the conversion buffer
  // The memory grab's last sampled picture before the target; the file grab's first
  // picture of one colour at its target.
  RgbPicture kept;

  AVStream *videoStream() const noexcept { return input->streams[videoIndex]; }
};

// ---- Steps shared by both grabs ----------------------------------------------------

// Opens the input and chooses the stream to grab from: the first moving video
// stream, else a cover picture, which is the thumbnail a user expects of a song.
// Only a decoder is needed (OpenGrabDecoder), so codecs this build cannot encode
// (VP6F, WMV3) are grabbed too.
Status OpenImageInput(GrabSession &s, const char *path) noexcept {
  Status st = OpenInputFile(path, s.input);
  if (!IsOk(st)) return st;
  s.videoIndex = FindMovingVideoStream(s.input.get());
  if (s.videoIndex < 0) s.videoIndex = FindFirstStreamOfType(s.input.get(), AVMEDIA_TYPE_VIDEO);
  if (s.videoIndex < 0) return Status::VideoStreamNotFound;
  return Status::Ok;
}

bool GrabsCoverPicture(const GrabSession &s) noexcept { return IsAttachedPicture(s.videoStream()); }

Status OpenGrabDecoder(GrabSession &s) noexcept {
  const Status st = OpenDecoder(s.videoStream(), s.decCtx);
  if (!IsOk(st)) return st;
  // The output size is derived from the size the stream states, before any decoding.
  if (s.decCtx->width == 0 || s.decCtx->height == 0) return Status::InvalidData;
  s.frame = MakeFrame();
  s.pkt = MakePacket();
  if (!s.frame || !s.pkt) return Status::NoMemory;
  return Status::Ok;
}

Status AllocateRgbPicture(RgbPicture &pic, ImageSize size) noexcept {
  uint8_t *planes[4] = {};
  int linesizes[4] = {};
  const int ret = av_image_alloc(planes, linesizes, size.width, size.height, AV_PIX_FMT_RGB24, 1);
  if (ret < 0) return StatusFromAv(ret, Status::NoMemory);
  pic.data.reset(planes[0]);
  pic.size = ret;
  return Status::Ok;
}

// The output size from the opened decoder, and the conversion and kept buffers of
// that size.
Status AllocatePictures(GrabSession &s, int32_t height) noexcept {
  const auto size = OutputImageSize(s.decCtx->width, s.decCtx->height, height);
  if (!size) return Status::BadParameter;
  s.outSize = *size;
  Status st = AllocateRgbPicture(s.picture, s.outSize);
  if (IsOk(st)) st = AllocateRgbPicture(s.kept, s.outSize);
  return st;
}

// The next packet of the video stream in s.pkt; packets of other streams are dropped.
// Eof at the end of the input (a cut-off or damaged tail ends it too).
Status ReadVideoPacket(GrabSession &s) noexcept {
  for (;;) {
    av_packet_unref(s.pkt.get());
    const Status st = ReadPacket(s.input.get(), s.pkt.get());
    if (!IsOk(st) || s.pkt->stream_index == s.videoIndex) return st;
  }
}

// Scales and converts frame into dst, a picture of size. The frame's own size and
// format are used, so a stream that changes size mid-way is still read within bounds.
Status ConvertPicture(PictureScaler &scaler, const AVFrame *frame, const RgbPicture &dst, ImageSize size) noexcept {
  uint8_t *const dstPlanes[4] = {dst.bytes(), nullptr, nullptr, nullptr};
  const int dstLinesizes[4] = {size.width * 3, 0, 0, 0};
  return scaler.ScaleInto(frame, dstPlanes, dstLinesizes, size.width, size.height, AV_PIX_FMT_RGB24);
}

// A cover has no timeline: its one picture, which the demuxer keeps beside the
// stream, is the grab wherever it was asked for. It is converted into s.picture.
Status ConvertCoverPicture(GrabSession &s) noexcept {
  const AVPacket *cover = &s.videoStream()->attached_pic;
  if (!cover->data) return Status::InvalidData;
  bool converted = false;
  const auto convert = [&](AVFrame *frame) {
    if (converted) return Status::Ok;
    converted = true;
    return ConvertPicture(s.scaler, frame, s.picture, s.outSize);
  };
  Status st = DecodePacket(s.decCtx.get(), cover, s.frame.get(), convert);
  // A decoder with a delay hands the picture out only when drained.
  if (IsOk(st) && !converted) st = DecodePacket(s.decCtx.get(), nullptr, s.frame.get(), convert);
  if (!IsOk(st)) return st;
  return converted ? Status::Ok : Status::InvalidData;
}

// ---- The file grab -------------------------------------------------------------------

std::optional<ImageFileFormat> ToImageFileFormat(int32_t format) noexcept {
  switch (format) {
    case MPG_IMAGE_PPM: return ImageFileFormat::Ppm;
    case MPG_IMAGE_BMP: return ImageFileFormat::Bmp;
    case MPG_IMAGE_JPEG: return ImageFileFormat::Jpeg;
    default: return std::nullopt;
  }
}

// Where position (ProgressScale units of the stream's measured length) lies on the
// video stream's timeline, in its time base. The length is read from the packets,
// not taken from the header: a joined DASH file states a length that counts its
// 30 s start as well, a Matroska file without stream lengths states the length of
// its subtitles, and a fragmented MP4 may state 2^32 - 1 ticks for 2 s; each
// would put the position past the last picture. Nothing when no length is known.
std::optional<int64_t> PositionTimestamp(GrabSession &s, int32_t position) noexcept {
  AVStream *stream = s.videoStream();
  const int64_t length = MeasureStreamSpan(s.input.get(), stream);
  if (length <= 0) return std::nullopt;
  return StreamStartTimestamp(s.input.get(), stream) + av_rescale(length, position, ProgressScale());
}

// Moves reading to the key frame at or before target, so that the pictures up to
// it decode cleanly, as the ffmpeg tool's -ss does: a short clip or a one-GOP
// HLS/DASH segment has no key frame after its start. A demuxer that cannot seek
// stays at the start of the input, from where decoding reaches target too.
// True when the seek moved.
bool SeekBeforeTarget(GrabSession &s, int64_t target) noexcept {
  if (av_seek_frame(s.input.get(), s.videoIndex, target, AVSEEK_FLAG_BACKWARD) < 0) return false;
  avcodec_flush_buffers(s.decCtx.get());
  return true;
}

// Moves reading back to the first byte of the input, with the decoder emptied. A
// demuxer that cannot seek by bytes (MP4, Matroska) goes to the key frame at the
// video's start instead.
Status RestartFromBeginning(GrabSession &s) noexcept {
  if (av_seek_frame(s.input.get(), -1, 0, AVSEEK_FLAG_BYTE) < 0)
    return SeekToSecond(s.input.get(), s.decCtx.get(), s.videoIndex, 0);
  avcodec_flush_buffers(s.decCtx.get());
  return Status::Ok;
}

// What the file grab's decoding has found so far.
struct FilePictureSearch {
  int64_t target = AV_NOPTS_VALUE;     // pictures before it are decoded, not taken
  bool found = false;                  // s.picture holds the grab
  bool uniformKept = false;            // s.kept holds the first picture at the target, of one colour
  int64_t uniformTs = AV_NOPTS_VALUE;  // that picture's timestamp
  int uniformAfter = 0;                // pictures of one colour decoded after it
  bool keySeen = false;                // decoding started at a key packet

  // Whether the search for content past the kept picture of one colour has gone far enough.
  bool SearchedPastUniform(int64_t ts, AVRational timeBase) const noexcept {
    if (!uniformKept) return false;
    if (ts == AV_NOPTS_VALUE || uniformTs == AV_NOPTS_VALUE) return uniformAfter >= kUniformSearchPictures;
    return av_compare_ts(ts - uniformTs, timeBase, kUniformSearchMs, AVRational{1, 1000}) >= 0;
  }
};

// Whether a decoded 8-bit planar picture is one colour in every plane, which its
// conversion to RGB keeps; false for any other layout, which only the converted
// picture can tell. Looking at the planes spares a stretch of black the conversion of
// each of its pictures.
bool IsUniformFrame(const AVFrame *frame) noexcept {
  const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
  if (!desc || !(desc->flags & AV_PIX_FMT_FLAG_PLANAR) || (desc->flags & AV_PIX_FMT_FLAG_PAL)) return false;
  for (int c = 0; c < desc->nb_components; ++c) {
    if (desc->comp[c].depth != 8 || desc->comp[c].step != 1 || desc->comp[c].offset != 0) return false;
  }
  const int planes = av_pix_fmt_count_planes(static_cast<AVPixelFormat>(frame->format));
  for (int p = 0; p < planes; ++p) {
    const bool chroma = p == 1 || p == 2;
    const int w = chroma ? AV_CEIL_RSHIFT(frame->width, desc->log2_chroma_w) : frame->width;
    const int h = chroma ? AV_CEIL_RSHIFT(frame->height, desc->log2_chroma_h) : frame->height;
    const uint8_t first = frame->data[p][0];
    for (int y = 0; y < h; ++y) {
      const uint8_t *row = frame->data[p] + static_cast<ptrdiff_t>(y) * frame->linesize[p];
      if (std::any_of(row, row + w, [first](uint8_t b) { return b != first; })) return false;
    }
  }
  return true;
}

// The picture of one colour at the target is still the picture there, when nothing
// with content came after it: it becomes the grab.
Status TakeUniformPicture(GrabSession &s, FilePictureSearch &search) noexcept {
  std::memcpy(s.picture.bytes(), s.kept.bytes(), static_cast<size_t>(s.picture.size));
  search.found = true;
  return Status::Ok;
}

// One more picture of one colour past the kept one: taken once the search went far enough.
Status CountUniformPicture(GrabSession &s, FilePictureSearch &search, int64_t ts) noexcept {
  ++search.uniformAfter;
  return search.SearchedPastUniform(ts, s.videoStream()->time_base) ? TakeUniformPicture(s, search) : Status::Ok;
}

// Decodes pkt (null drains the decoder). The first picture at or after the target
// that is not of one colour is the grab, in s.picture; the first one of one colour
// is kept in s.kept, for a stream that has nothing but (a black end, a black clip),
// and taken once the search has looked far enough past it.
// Returns the first failure: a conversion's, or the decoder's at the end of a run of
// rejected packets.
Status DecodeTowardsTarget(GrabSession &s, const AVPacket *pkt, FilePictureSearch &search) noexcept {
  return DecodePacket(s.decCtx.get(), pkt, s.frame.get(), s.decodeErrors, [&](AVFrame *frame) {
    if (search.found) return Status::Ok;
    // A picture without a timestamp cannot be placed; the first clean one is taken.
    const int64_t ts = frame->best_effort_timestamp;
    if (search.target != AV_NOPTS_VALUE && ts != AV_NOPTS_VALUE && ts < search.target) return Status::Ok;
    if (search.uniformKept && IsUniformFrame(frame)) return CountUniformPicture(s, search, ts);
    const Status converted = ConvertPicture(s.scaler, frame, s.picture, s.outSize);
    if (!IsOk(converted)) return converted;
    if (!IsUniformImage(s.picture.bytes(), s.outSize.width, s.outSize.height)) {
      search.found = true;
    } else if (!search.uniformKept) {
      std::memcpy(s.kept.bytes(), s.picture.bytes(), static_cast<size_t>(s.picture.size));
      search.uniformKept = true;
      search.uniformTs = ts;
    } else {
      return CountUniformPicture(s, search, ts);
    }
    return Status::Ok;
  });
}

// Decodes from the first key packet read until a suitable picture at or after the
// target is in s.picture.
Status FindPictureAtTarget(GrabSession &s, FilePictureSearch &search) noexcept {
  for (;;) {
    const Status st = ReadVideoPacket(s);
    if (st == Status::Eof) {
      if (!search.keySeen) return st;
      // The decoder may still hold pictures of the last packets.
      const Status drained = DecodeTowardsTarget(s, nullptr, search);
      if (!IsOk(drained)) return drained;
      if (search.found) return Status::Ok;
      return search.uniformKept ? TakeUniformPicture(s, search) : st;
    }
    if (!IsOk(st)) return st;
    // A decoder started mid-group gives nothing or broken pictures until a key packet.
    if (!search.keySeen) search.keySeen = (s.pkt->flags & AV_PKT_FLAG_KEY) != 0;
    if (!search.keySeen) continue;

    const Status decoded = DecodeTowardsTarget(s, s.pkt.get(), search);
    if (!IsOk(decoded) || search.found) return decoded;
  }
}

// Position 0 reads the input from its start; any other position seeks to the key
// frame before it and decodes up to it. A stream of unknown length has no
// position but its start.
Status FindPictureAtPosition(GrabSession &s, int32_t position) noexcept {
  FilePictureSearch search;
  if (position == 0) return FindPictureAtTarget(s, search);
  const std::optional<int64_t> target = PositionTimestamp(s, position);
  if (!target) return kSeekFailed;
  search.target = *target;
  if (!SeekBeforeTarget(s, search.target)) return FindPictureAtTarget(s, search);
  const Status st = FindPictureAtTarget(s, search);
  if (IsOk(st) || search.keySeen) return st;
  // A file without an index (MPEG-TS) is sought by searching its timestamps, which
  // can land past the only key frame of a short clip: decode it from the start.
  search = FilePictureSearch{};
  search.target = *target;
  const Status restart = RestartFromBeginning(s);
  return IsOk(restart) ? FindPictureAtTarget(s, search) : restart;
}

// The JPEG is made in memory and written under the writers' rule for a failed
// write: the file it opened goes again.
bool WriteJpegImage(const char *path, const uint8_t *rgb, ImageSize size, int32_t quality) noexcept {
  std::vector<uint8_t> bytes;
  return jpeg::EncodeJpegToMemory(rgb, size.width, size.height, quality, bytes) &&
         WriteImageBytes(path, {}, bytes);
}

// Writes s.picture; a writer that fails removes the file it opened.
Status WriteImageFile(ImageFileFormat format, const char *path, const GrabSession &s,
                      int32_t quality) noexcept {
  const uint8_t *rgb = s.picture.bytes();
  const ImageSize size = s.outSize;
  bool written = false;
  switch (format) {
    case ImageFileFormat::Ppm: written = WritePpmFile(path, rgb, size.width, size.height); break;
    case ImageFileFormat::Bmp: written = WriteBmpFile(path, rgb, size.width, size.height); break;
    case ImageFileFormat::Jpeg: written = WriteJpegImage(path, rgb, size, quality); break;
  }
  return written ? Status::Ok : StatusFromAv(AVERROR(EIO));
}

Status RunFileGrab(GrabSession &s, ImageFileFormat format, const char *inputPath,
                   const char *outputPath, int32_t position, int32_t height, int32_t quality) noexcept {
  Status st = OpenImageInput(s, inputPath);
  if (IsOk(st)) st = OpenGrabDecoder(s);
  if (IsOk(st)) st = AllocatePictures(s, height);
  if (IsOk(st) && GrabsCoverPicture(s)) {
    st = ConvertCoverPicture(s);
  } else if (IsOk(st)) {
    st = FindPictureAtPosition(s, position);
  }
  if (IsOk(st)) st = WriteImageFile(format, outputPath, s, quality);
  return st;
}

// ---- The memory grab -----------------------------------------------------------------

// The memory grab's progress through the decoded pictures.
struct Sampling {
  int64_t target = 0;     // the wanted second, in the video stream's time base
  int64_t decoded = 0;    // pictures decoded since the seek
  bool kept = false;      // s.kept holds a sampled picture
  bool reached = false;   // the conversion buffer holds the first sample at or after target
};

void KeepPicture(GrabSession &s, Sampling &sampling) noexcept {
  std::memcpy(s.kept.bytes(), s.picture.bytes(), static_cast<size_t>(s.picture.size));
  sampling.kept = true;
}

// Decodes pkt (null drains the decoder) and converts every 20th picture, comparing
// the picture's own timestamp with the target: with B pictures the packet just sent
// is not the picture that comes out.
Status DecodeAndSample(GrabSession &s, const AVPacket *pkt, Sampling &sampling) noexcept {
  return DecodePacket(s.decCtx.get(), pkt, s.frame.get(), s.decodeErrors, [&](AVFrame *frame) {
    if (sampling.reached) return Status::Ok;
    if (sampling.decoded++ % kSampleInterval != 0) return Status::Ok;
    const Status converted = ConvertPicture(s.scaler, frame, s.picture, s.outSize);
    if (!IsOk(converted)) return converted;
    const int64_t pts = frame->best_effort_timestamp;
    if (pts != AV_NOPTS_VALUE && pts >= sampling.target) {
      sampling.reached = true;
      // A first sample already at the target is the best picture there is to keep.
      if (!sampling.kept) KeepPicture(s, sampling);
      return Status::Ok;
    }
    KeepPicture(s, sampling);
    return Status::Ok;
  });
}

Status SampleUpToTarget(GrabSession &s, Sampling &sampling) noexcept {
  for (;;) {
    const Status st = ReadVideoPacket(s);
    if (st == Status::Eof) {
      // The decoder may still hold pictures of the last packets.
      const Status drained = DecodeAndSample(s, nullptr, sampling);
      if (!IsOk(drained)) return drained;
      return sampling.kept ? Status::Ok : st;
    }
    if (!IsOk(st)) return st;
    const Status decoded = DecodeAndSample(s, s.pkt.get(), sampling);
    if (!IsOk(decoded) || sampling.reached) return decoded;
  }
}

Status ProduceMemoryOutput(ImageGrabJob &job, const GrabSession &s) noexcept {
  const ImageSize size = s.outSize;
  if (job.memoryMode == MemoryMode::Bmp) {
    uint32_t bmpSize = 0;
    uint8_t *bmp = BuildBmpInMemory(s.kept.bytes(), size.width, size.height, &bmpSize);
    if (!bmp) return Status::NoMemory;
    job.bmpBuffer = bmp;
    job.bmpSize = bmpSize;
    return Status::Ok;
  }
  // At the end of input the conversion buffer holds the last sampled picture.
  const bool written = WriteJpegImage(job.outputPath.c_str(), s.picture.bytes(), size, kMemoryGrabJpegQuality);
  return written ? Status::Ok : StatusFromAv(AVERROR(EIO));
}

Status RunMemoryGrab(ImageGrabJob &job, GrabSession &s, const char *inputPath, uint32_t seconds,
                     int32_t height) noexcept {
  Status st = OpenImageInput(s, inputPath);
  if (IsOk(st)) st = OpenGrabDecoder(s);
  if (IsOk(st)) st = AllocatePictures(s, height);
  if (IsOk(st) && GrabsCoverPicture(s)) {
    // Both outputs show the cover: the picture that was converted, kept as well.
    st = ConvertCoverPicture(s);
    if (IsOk(st)) std::memcpy(s.kept.bytes(), s.picture.bytes(), static_cast<size_t>(s.picture.size));
  } else if (IsOk(st)) {
    // The input just opened reads from its start; a seek there could only land later
    // (an MPEG-TS seek searches by decoding time and can pass the first key frame).
    if (seconds > 0) st = SeekToSecond(s.input.get(), s.decCtx.get(), s.videoIndex, seconds);
    Sampling sampling;
    if (IsOk(st)) {
      sampling.target = SecondToStreamTimestamp(s.input.get(), s.videoStream(), seconds);
      st = SampleUpToTarget(s, sampling);
    }
  }
  if (IsOk(st)) st = ProduceMemoryOutput(job, s);
  return st;
}

}  // namespace

std::optional<ImageSize> OutputImageSize(int32_t decodedWidth, int32_t decodedHeight,
                                         int32_t height) noexcept {
  if (decodedWidth <= 0 || decodedHeight <= 0 || height < 0) return std::nullopt;
  if (height == 0) return ImageSize{decodedWidth, decodedHeight};
  int64_t width = int64_t{decodedWidth} * height / decodedHeight;
  // Widths are kept to multiples of 4, so BMP rows need no padding.
  if (width % 4 != 0) width += 4 - width % 4;
  if (width <= 0 || width > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return ImageSize{static_cast<int32_t>(width), height};
}

bool IsUniformImage(const uint8_t *rgb, int32_t width, int32_t height) noexcept {
  if (!rgb || width <= 0 || height <= 0) return true;
  const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
  for (size_t i = 3; i < bytes; i += 3) {
    if (rgb[i] != rgb[0] || rgb[i + 1] != rgb[1] || rgb[i + 2] != rgb[2]) return false;
  }
  return true;
}

bool GrabImageToFile(int32_t format, const char *inputPath,
                     const char *outputPath, int32_t position, int32_t height,
                     int32_t quality) noexcept {
  const auto imageFormat = ToImageFileFormat(format);
  if (!inputPath || !outputPath || !imageFormat) return false;
  // Writing, or removing a failed write, would destroy the input.
  const char *const inputs[] = {inputPath};
  if (!IsOk(RefuseOutputNamingInput(outputPath, inputs))) return false;
  GrabSession s;
  return IsOk(RunFileGrab(s, *imageFormat, inputPath, outputPath, position, height, quality));
}

bool GrabImageToMemory(ImageGrabJob &job, const char *inputPath, uint32_t seconds,
                       int32_t height) noexcept {
  if (!inputPath) return false;
  if (job.memoryMode == MemoryMode::JpegFile) {
    const char *const inputs[] = {inputPath};
    if (!IsOk(RefuseOutputNamingInput(job.outputPath.c_str(), inputs))) return false;
  }
  GrabSession s;
  return IsOk(RunMemoryGrab(job, s, inputPath, seconds, height));
}

}  // namespace mpg
