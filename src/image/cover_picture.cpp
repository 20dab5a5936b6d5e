// Cover pictures: sniffed by their signatures, decoded once with libavcodec (which
// checks them and gives their size), and WebP re-encoded with the library's JPEG
// encoder, since players and file managers show JPEG and PNG covers and ignore WebP.
#include "image/cover_picture.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "codec/picture_scaler.h"
#include "core/codec_loop.h"
#include "image/jpeg/jpeg_encoder.h"
#include "platform/platform.h"

namespace mpg {

namespace {

constexpr int kCoverJpegQuality = 90;

// The codec a picture file's first bytes name: JPEG's SOI marker, PNG's eight-byte
// signature, or a RIFF file of form "WEBP".
AVCodecID SniffPictureCodec(std::string_view b) noexcept {
  if (b.size() >= 3 && b.substr(0, 3) == "\xFF\xD8\xFF") return AV_CODEC_ID_MJPEG;
  if (b.size() >= 8 && b.substr(0, 8) == "\x89PNG\r\n\x1A\n") return AV_CODEC_ID_PNG;
  if (b.size() >= 12 && b.substr(0, 4) == "RIFF" && b.substr(8, 4) == "WEBP") return AV_CODEC_ID_WEBP;
  return AV_CODEC_ID_NONE;
}

// Decodes the one picture of a still-image file into frame.
Status DecodeStill(AVCodecID id, const std::string &bytes, AVFrame *frame) {
  const AVCodec *codec = avcodec_find_decoder(id);
  if (!codec) return kNoCodec;
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  PacketPtr pkt = MakePacket();
  FramePtr scratch(av_frame_alloc());
  if (!ctx || !pkt || !scratch) return Status::NoMemory;
  int ret = avcodec_open2(ctx.get(), codec, nullptr);
  if (ret < 0) return StatusFromAv(ret);
  // A packet of its own, with the padding decoders may read past the end.
  ret = av_new_packet(pkt.get(), static_cast<int>(bytes.size()));
  if (ret < 0) return StatusFromAv(ret);
  memcpy(pkt->data, bytes.data(), bytes.size());
  bool got = false;
  const auto keep = [&](AVFrame *f) {
    if (!got && av_frame_ref(frame, f) < 0) return Status::NoMemory;
    got = true;
    return Status::Ok;
  };
  Status st = DecodePacket(ctx.get(), pkt.get(), scratch.get(), keep);
  if (IsOk(st)) st = DecodePacket(ctx.get(), nullptr, scratch.get(), keep);
  return got ? Status::Ok : Status::InvalidData;
}

// The picture as a JPEG file image: converted to packed RGB24 (an alpha channel is
// dropped) and encoded by the library's encoder.
Status EncodeAsJpeg(const AVFrame *frame, std::string &out) {
  const int w = frame->width, h = frame->height;
  if (w < 1 || h < 1 || w > jpeg::kMaxDimension || h > jpeg::kMaxDimension) return Status::InvalidData;
  // swscale's vector paths may store a little past the last pixel: room for a row more.
  std::vector<uint8_t> rgb(static_cast<size_t>(w) * (h + 1) * 3 + 64);
  uint8_t *const planes[4] = {rgb.data(), nullptr, nullptr, nullptr};
  const int linesizes[4] = {w * 3, 0, 0, 0};
  PictureScaler scaler(SWS_BICUBIC, 1);
  if (!IsOk(scaler.ScaleInto(frame, planes, linesizes, w, h, AV_PIX_FMT_RGB24))) return Status::InvalidData;
  std::vector<uint8_t> jpegBytes;
  if (!jpeg::EncodeJpegToMemory(rgb.data(), w, h, kCoverJpegQuality, jpegBytes)) return Status::NoMemory;
  out.assign(jpegBytes.begin(), jpegBytes.end());
  return Status::Ok;
}

}  // namespace

Status LoadCoverPicture(const char *path, CoverPicture &cover) {
  std::string bytes;
  switch (platform::ReadWholeFile(path, kMaxCoverBytes, bytes)) {
    case platform::ReadResult::Ok: break;
    case platform::ReadResult::TooLarge: return Status::InvalidData;
    case platform::ReadResult::CannotOpen:
      return StatusFromAv(platform::IsMissing(path) ? AVERROR(ENOENT) : AVERROR(EACCES));
    case platform::ReadResult::ReadError: return StatusFromAv(AVERROR(EIO));
  }
  const AVCodecID id = SniffPictureCodec(bytes);
  if (id == AV_CODEC_ID_NONE) return Status::InvalidData;
  FramePtr frame(av_frame_alloc());
  if (!frame) return Status::NoMemory;
  const Status st = DecodeStill(id, bytes, frame.get());
  if (!IsOk(st)) return st == kNoCodec ? st : Status::InvalidData;
  cover.width = frame->width;
  cover.height = frame->height;
  if (id != AV_CODEC_ID_WEBP) {
    cover.bytes = std::move(bytes);
    cover.codec = id;
    return Status::Ok;
  }
  cover.codec = AV_CODEC_ID_MJPEG;
  return EncodeAsJpeg(frame.get(), cover.bytes);
}

}  // namespace mpg
