// Uncompressed still-image writers for packed RGB24 pictures (rows of exactly
// width * 3 bytes with no gaps, top row first, each pixel red, green, blue): a binary
// PPM file, a 24-bit BMP file, and the same BMP file image built in memory; and the
// one rule every image file is written by.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace mpg {

// Creates or truncates the file at path and writes head, then body, into it. True
// when every byte reached the file and it closed cleanly. A file it opened and could
// not write completely is removed (a truncated file's old content is gone already),
// so no partial picture is left; a path it could not open is left as it was.
bool WriteImageBytes(const char* path, std::string_view head,
                     std::span<const uint8_t> body) noexcept;

// Writes a binary PPM (P6) file: the header "P6\n<width> <height>\n255\n" and the
// pixels as they are, through WriteImageBytes. False for a null argument or a width
// or height below 1 (nothing is touched), and as WriteImageBytes is.
bool WritePpmFile(const char* path, const uint8_t* rgb, int32_t width,
                  int32_t height) noexcept;

// Writes a 24-bit BMP file (layout at BuildBmpInMemory) through WriteImageBytes.
// False, with nothing touched, for a null argument, a width or height below 1, a
// picture whose file would pass 4 GiB or a failed allocation of the file image; and
// as WriteImageBytes is.
bool WriteBmpFile(const char* path, const uint8_t* rgb, int32_t width,
                  int32_t height) noexcept;

// Builds the complete BMP file image in a buffer from malloc and stores its size
// through sizeOut. The caller owns the buffer and releases it with free().
// Layout, all fields little-endian: a 14-byte file header ("BM", file size,
// two reserved zeros, pixel offset 54), a 40-byte BITMAPINFOHEADER (width, minus
// the height because rows are stored top row first, one plane, 24 bits, BI_RGB, the
// pixel data size, zero resolution and palette counts), then the rows, each pixel
// blue, green, red and each row padded with zeros to a multiple of 4 bytes.
// Returns null, storing nothing, for a null argument, a width or height below 1, a
// picture whose file would pass 4 GiB, or a failed allocation.
uint8_t* BuildBmpInMemory(const uint8_t* rgb, int32_t width, int32_t height,
                          uint32_t* sizeOut) noexcept;

}  // namespace mpg
