// Still-image exports: a picture from a video as a file or as a BMP in memory.
#include "api/guard.h"
#include "image/frame_grab.h"
#include "platform/platform.h"

using namespace mpg;
using mpg::platform::AllNamed;
using mpg::platform::HostPath;

extern "C" MPG_API uint8_t MPG_CALL MPG_GetImageP(int32_t imageFormat, const char *inputPath,
                                                  const char *outputPath, int32_t position, int32_t height,
                                                  int32_t quality) noexcept {
  if (!inputPath || !outputPath) return 0;
  return GuardOr<uint8_t>(0, [&] {
    const HostPath in(inputPath), out(outputPath);
    if (!AllNamed(in, out)) return uint8_t{0};
    return GrabImageToFile(imageFormat, in.c_str(), out.c_str(), position, height, quality)
               ? uint8_t{1}
               : uint8_t{0};
  });
}

extern "C" MPG_API uint8_t MPG_CALL MPG_GetImage(int32_t imageFormat, const char *inputPath,
                                                 const char *outputPath, int32_t height,
                                                 int32_t quality) noexcept {
  return MPG_GetImageP(imageFormat, inputPath, outputPath, 0, height, quality);
}

extern "C" MPG_API uint8_t *MPG_CALL MPG_GetImageBMP(const char *inputPath, int32_t seconds, uint32_t *size,
                                                     int32_t height) noexcept {
  // Without somewhere to put the size, the caller could not use the buffer.
  if (!size) return nullptr;
  *size = 0;
  // A negative second lies before every stream.
  if (!inputPath || seconds < 0) return nullptr;
  return GuardOr<uint8_t *>(nullptr, [&]() -> uint8_t * {
    ImageGrabJob job;
    job.memoryMode = MemoryMode::Bmp;
    const HostPath in(inputPath);
    if (in.Refused()) return nullptr;
    if (!GrabImageToMemory(job, in.c_str(), static_cast<uint32_t>(seconds), height)) return nullptr;
    // The buffer now belongs to the caller, who releases it with free().
    *size = job.bmpSize;
    return job.bmpBuffer;
  });
}

extern "C" MPG_API uint8_t MPG_CALL MPG_GetImageJPG(const char *inputPath, const char *outputPath,
                                                    int32_t seconds, int32_t height) noexcept {
  if (!inputPath || !outputPath || seconds < 0) return 0;
  return GuardOr<uint8_t>(0, [&] {
    const HostPath in(inputPath), out(outputPath);
    if (!AllNamed(in, out)) return uint8_t{0};
    ImageGrabJob job;
    job.memoryMode = MemoryMode::JpegFile;
    job.outputPath = out.c_str();
    return GrabImageToMemory(job, in.c_str(), static_cast<uint32_t>(seconds), height) ? uint8_t{1}
                                                                                      : uint8_t{0};
  });
}
