// PPM and BMP writers judged by their bytes, by the in-memory twin of the BMP file,
// and by ffmpeg's decoders reading the files back.
#include "image/image_writers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/media.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Red, then blue: the 2 x 1 picture both formats are checked with.
const Bytes kRedBlue = {255, 0, 0, 0, 0, 255};

Bytes RandomPicture(int width, int height, uint32_t seed) {
  Bytes rgb(static_cast<size_t>(width) * height * 3);
  std::mt19937 rng(seed);
  for (uint8_t& b : rgb) b = static_cast<uint8_t>(rng());
  return rgb;
}

Bytes ReadFile(const std::string& path) {
  const std::string bytes = mpgtest::ReadBytes(path);
  return Bytes(bytes.begin(), bytes.end());
}

struct FreeDeleter {
  void operator()(uint8_t* p) const { std::free(p); }
};
using MallocBuffer = std::unique_ptr<uint8_t, FreeDeleter>;

Bytes BuildBmp(const Bytes& rgb, int width, int height) {
  uint32_t size = 0;
  MallocBuffer image(mpg::BuildBmpInMemory(rgb.data(), width, height, &size));
  if (!image) return {};
  return Bytes(image.get(), image.get() + size);
}

// The picture as ffmpeg decodes the file, in RGB24.
Bytes DecodeWithFfmpeg(const std::string& path) {
  const std::string raw = path + ".rgb";
  std::string log;
  const int rc = mpgtest::Run("ffmpeg -nostdin -v error -y -i " + mpgtest::Quote(path) +
                                  " -f rawvideo -pix_fmt rgb24 " + mpgtest::Quote(raw) + " 2>&1",
                              &log);
  EXPECT_EQ(rc, 0) << log;
  return ReadFile(raw);
}

TEST(Ppm, TwoByOnePictureBytes) {
  const std::string path = mpgtest::Out("redblue.ppm");
  ASSERT_TRUE(mpg::WritePpmFile(path.c_str(), kRedBlue.data(), 2, 1));
  const Bytes expected = {'P', '6', '\n', '2', ' ', '1', '\n', '2', '5', '5', '\n',
                          0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF};
  EXPECT_EQ(ReadFile(path), expected);
}

TEST(Ppm, DecodesToTheSamePicture) {
  const Bytes rgb = RandomPicture(13, 7, 1);
  const std::string path = mpgtest::Out("random.ppm");
  ASSERT_TRUE(mpg::WritePpmFile(path.c_str(), rgb.data(), 13, 7));
  EXPECT_EQ(DecodeWithFfmpeg(path), rgb);
}

TEST(ImageWriter, ShortWriteIsReported) {
  // /dev/full accepts the open and fails every write with ENOSPC; a device is not
  // removed afterwards.
  if (!mpgtest::FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const Bytes rgb = RandomPicture(256, 256, 2);
  EXPECT_FALSE(mpg::WritePpmFile("/dev/full", rgb.data(), 256, 256));
  EXPECT_FALSE(mpg::WriteBmpFile("/dev/full", rgb.data(), 256, 256));
  EXPECT_TRUE(mpgtest::FileExists("/dev/full"));
}

TEST(Bmp, TwoByOnePictureBytes) {
  const std::string path = mpgtest::Out("redblue.bmp");
  ASSERT_TRUE(mpg::WriteBmpFile(path.c_str(), kRedBlue.data(), 2, 1));
  const Bytes expected = {
      'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  // file header: size 62, offset 54
      40, 0, 0, 0,                                     // info header size
      2, 0, 0, 0,                                      // width 2
      0xFF, 0xFF, 0xFF, 0xFF,                          // height -1: top row first
      1, 0, 24, 0,                                     // one plane, 24 bits
      0, 0, 0, 0,                                      // BI_RGB
      8, 0, 0, 0,                                      // pixel data: one row of 8
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // resolutions, palette counts
      0x00, 0x00, 0xFF,                                // red as blue, green, red
      0xFF, 0x00, 0x00,                                // blue
      0x00, 0x00,                                      // row padding to 8
  };
  EXPECT_EQ(ReadFile(path), expected);
}

struct BmpSize {
  const char* name;
  int width;
  int height;
  uint32_t fileSize;  // 54 + row stride rounded up to 4, times height
};

class BmpSizes : public ::testing::TestWithParam<BmpSize> {};

TEST_P(BmpSizes, FileAndMemoryImagesAreIdenticalAndSized) {
  const BmpSize& c = GetParam();
  const Bytes rgb = RandomPicture(c.width, c.height, 3);
  const std::string path = mpgtest::Out("pic.bmp");
  ASSERT_TRUE(mpg::WriteBmpFile(path.c_str(), rgb.data(), c.width, c.height));
  const Bytes file = ReadFile(path);
  EXPECT_EQ(file.size(), c.fileSize);
  EXPECT_EQ(BuildBmp(rgb, c.width, c.height), file);
}

TEST_P(BmpSizes, DecodesToTheSamePicture) {
  const BmpSize& c = GetParam();
  const Bytes rgb = RandomPicture(c.width, c.height, 4);
  const std::string path = mpgtest::Out("pic.bmp");
  ASSERT_TRUE(mpg::WriteBmpFile(path.c_str(), rgb.data(), c.width, c.height));
  EXPECT_EQ(DecodeWithFfmpeg(path), rgb);
}

INSTANTIATE_TEST_SUITE_P(
    BmpPictures, BmpSizes,
    ::testing::Values(BmpSize{"OnePixel", 1, 1, 58}, BmpSize{"TwoByOne", 2, 1, 62},
                      BmpSize{"ThreeWidePadsThreeBytes", 3, 2, 78},
                      BmpSize{"FourWideNoPadding", 4, 3, 90},
                      BmpSize{"FiveWide", 5, 5, 134},
                      BmpSize{"GrabSizeNoPadding", 180, 100, 54 + 54000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Bmp, InMemoryBufferIsReleasedWithFree) {
  uint32_t size = 0;
  uint8_t* image = mpg::BuildBmpInMemory(kRedBlue.data(), 2, 1, &size);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(size, 62u);
  EXPECT_EQ(image[0], 'B');
  std::free(image);  // the sanitizer build reports a mismatch with new[] here
}

enum class Writer { kPpm, kBmp, kBmpInMemory };

struct BadInput {
  const char* name;
  Writer writer;
  bool nullPath;
  bool nullPicture;
  int width;
  int height;
};

class ImageWriterBadInput : public ::testing::TestWithParam<BadInput> {};

TEST_P(ImageWriterBadInput, FailsWithoutTouchingDiskOrSize) {
  const BadInput& c = GetParam();
  const Bytes rgb = RandomPicture(4, 4, 5);
  const uint8_t* picture = c.nullPicture ? nullptr : rgb.data();
  const std::string path = mpgtest::Out("bad.img");
  const char* pathArg = c.nullPath ? nullptr : path.c_str();
  switch (c.writer) {
    case Writer::kPpm:
      EXPECT_FALSE(mpg::WritePpmFile(pathArg, picture, c.width, c.height));
      break;
    case Writer::kBmp:
      EXPECT_FALSE(mpg::WriteBmpFile(pathArg, picture, c.width, c.height));
      break;
    case Writer::kBmpInMemory: {
      uint32_t size = 12345;
      EXPECT_EQ(mpg::BuildBmpInMemory(picture, c.width, c.height, &size), nullptr);
      EXPECT_EQ(size, 12345u);
      break;
    }
  }
  EXPECT_FALSE(mpgtest::FileExists(path));
}

INSTANTIATE_TEST_SUITE_P(
    ImageWriterArguments, ImageWriterBadInput,
    ::testing::Values(
        BadInput{"PpmNullPath", Writer::kPpm, true, false, 4, 4},
        BadInput{"PpmNullPicture", Writer::kPpm, false, true, 4, 4},
        BadInput{"PpmZeroWidth", Writer::kPpm, false, false, 0, 4},
        BadInput{"PpmNegativeHeight", Writer::kPpm, false, false, 4, -4},
        BadInput{"BmpNullPath", Writer::kBmp, true, false, 4, 4},
        BadInput{"BmpNullPicture", Writer::kBmp, false, true, 4, 4},
        BadInput{"BmpZeroHeight", Writer::kBmp, false, false, 4, 0},
        BadInput{"BmpNegativeWidth", Writer::kBmp, false, false, -4, 4},
        BadInput{"BmpFileOver4GiB", Writer::kBmp, false, false, 0x7FFFFFFF, 2},
        BadInput{"MemoryNullPicture", Writer::kBmpInMemory, false, true, 4, 4},
        BadInput{"MemoryZeroWidth", Writer::kBmpInMemory, false, false, 0, 4},
        BadInput{"MemoryZeroHeight", Writer::kBmpInMemory, false, false, 4, 0},
        BadInput{"MemoryNegativeHeight", Writer::kBmpInMemory, false, false, 4, -1},
        BadInput{"MemoryOver4GiB", Writer::kBmpInMemory, false, false, 40000, 40000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ImageWriter, NullSizeOutGivesNoBuffer) {
  EXPECT_EQ(mpg::BuildBmpInMemory(kRedBlue.data(), 2, 1, nullptr), nullptr);
}

TEST(ImageWriter, UnopenablePathFails) {
  const std::string path = mpgtest::Out("no/such/dir/x");
  EXPECT_FALSE(mpg::WritePpmFile(path.c_str(), kRedBlue.data(), 2, 1));
  EXPECT_FALSE(mpg::WriteBmpFile(path.c_str(), kRedBlue.data(), 2, 1));
  EXPECT_FALSE(mpg::WriteBmpFile(mpgtest::OutputDir().c_str(), kRedBlue.data(), 2, 1));
}

TEST(ImageWriter, ExistingFilesAreReplaced) {
  const std::string ppm = mpgtest::Out("old.ppm");
  const std::string bmp = mpgtest::Out("old.bmp");
  mpgtest::WriteBytes(ppm, std::string(1000, 'x'));
  mpgtest::WriteBytes(bmp, std::string(1000, 'x'));
  ASSERT_TRUE(mpg::WritePpmFile(ppm.c_str(), kRedBlue.data(), 2, 1));
  ASSERT_TRUE(mpg::WriteBmpFile(bmp.c_str(), kRedBlue.data(), 2, 1));
  EXPECT_EQ(mpgtest::FileSizeOf(ppm), 17u);
  EXPECT_EQ(mpgtest::FileSizeOf(bmp), 62u);
}

}  // namespace
