// Still pictures from the first moving video stream of a media file (or its cover
// picture), scaled to a requested height and converted to packed RGB24 (rows of
// exactly width * 3 bytes, top row first, red, green, blue), then written as a PPM,
// BMP or JPEG file or built as a BMP file image in memory. The seek the memory grab uses is in core/seek.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/status.h"
#include "mpg.h"

namespace mpg {

// The writer GrabImageToFile hands the picture to.
enum class ImageFileFormat : int32_t {
  Ppm = MPG_IMAGE_PPM,
  Bmp = MPG_IMAGE_BMP,
  Jpeg = MPG_IMAGE_JPEG,
};

// What GrabImageToMemory produces.
enum class MemoryMode : int32_t {
  Bmp = 0,       // a BMP file image in memory, returned through bmpBuffer
  JpegFile = 1,  // a JPEG file at outputPath
};

// The JPEG quality of the memory grab's files.
inline constexpr int32_t kMemoryGrabJpegQuality = 20;

// The record the memory grab's exports build for one grab. The FFmpeg objects of a grab live
// inside the pipeline; the job keeps only what goes back to the caller.
struct ImageGrabJob {
  // The in-memory BMP of a memory grab, from malloc. It belongs to whoever asked for
  // it: the job never frees it.
  uint8_t *bmpBuffer = nullptr;
  uint32_t bmpSize = 0;
  MemoryMode memoryMode = MemoryMode::Bmp;
  // The JPEG file a memory grab writes in MemoryMode::JpegFile.
  std::string outputPath;
};

struct ImageSize {
  int32_t width = 0;
  int32_t height = 0;
};

// The size a decodedWidth x decodedHeight picture is scaled to for a requested
// height: the decoded size for 0; otherwise that height and the width that keeps the
// aspect ratio, truncated and then raised to a multiple of 4 (1920x1080 at height
// 100 gives 180x100). Nothing for a negative height, an empty decoded size, or a
// width that comes out 0 or beyond 32 bits.
std::optional<ImageSize> OutputImageSize(int32_t decodedWidth, int32_t decodedHeight,
                                         int32_t height) noexcept;

// True when every pixel of the packed RGB24 picture equals the first one, byte for
// byte (also for a picture without rows). A solid black frame is uniform; a frame
// with a single differing pixel is not.
bool IsUniformImage(const uint8_t *rgb, int32_t width, int32_t height) noexcept;

// Takes the picture of inputPath's first moving video stream at position (in
// ProgressScale units of the video stream's length as its packets give it, counted
// from its start, MeasureStreamSpan; not the length a header states): 0
// reads from the start; any other position seeks to the key frame before it and
// decodes from there up to it, as the ffmpeg tool's -ss does, so a clip or segment
// without a key frame after the position still gives its picture there. The first
// picture at or after the position that is not of one colour is taken; when every
// one up to the end is of one colour (a black clip), the first of them is. A file
// whose only picture is a cover (an MP3's ID3 art) gives the cover. It is written to
// outputPath with the writer format names (MPG_IMAGE_PPM, _BMP or _JPEG; quality only
// for JPEG). True when every byte of the image reached the file. A grab that fails
// before writing (an unknown format, an input without a picture to take) leaves
// whatever stands at outputPath; a write that fails removes the file it opened. An
// outputPath that names the input file is refused. A decoder that rejects
// kMaxDecodeErrorsInARow packets in a row ends the grab.
bool GrabImageToFile(int32_t format, const char *inputPath,
                     const char *outputPath, int32_t position, int32_t height,
                     int32_t quality) noexcept;

// Seeks inputPath to the key frame before the whole second seconds (counted from the
// start of its first moving video stream), decodes from there and samples every 20th
// picture until one is at or after that second, by the picture's own timestamp. A
// file whose only picture is a cover gives the cover in both modes.
// MemoryMode::Bmp: job.bmpBuffer and job.bmpSize receive a BMP file image of the
// last sampled picture before the second (the first sampled one when that is already
// at or after it). MemoryMode::JpegFile: job.outputPath receives a JPEG of quality
// kMemoryGrabJpegQuality of the first sampled picture at or after the second. When
// the input ends first, both take the last sampled picture; without any, the grab
// fails. The JPEG file follows GrabImageToFile's rule: a failure before writing leaves
// the path alone, a failed write removes the file; an outputPath that names the input
// file is refused.
bool GrabImageToMemory(ImageGrabJob &job, const char *inputPath, uint32_t seconds,
                       int32_t height) noexcept;

}  // namespace mpg
