// Inputs that took the process down or broke a rule of the language, run through
// the exports that met them. Each call runs in a child process (a death-test fork),
// so a finding that comes back as an abort, a crash or a sanitizer report fails its
// row and the suite goes on. A call that returns 0 leaves an output ffprobe reads
// (and a full decode finds clean where every stream was encoded here); a failure
// leaves no output.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "mpg.h"
#include "mpg_string.hpp"
#include "support/media.h"

// Requests name the fields they set; designated initializers leave the others 0.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace mpgtest;

// Runs call in a child process and gives the status it returned; the test fails
// when the child ends in any other way.
int32_t StatusInChild(const std::function<int32_t()> &call) {
  const std::string statusFile = Out("status");
  EXPECT_EXIT(
      {
        WriteBytes(statusFile, std::to_string(call()));
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  return FileExists(statusFile) ? std::stoi(ReadBytes(statusFile)) : INT32_MIN;
}

void ExpectOutputFitsStatus(int32_t status, const std::string &out, bool encodedHere) {
  if (status != 0) {
    EXPECT_FALSE(FileExists(out)) << "status " << status << " left " << out;
    return;
  }
  EXPECT_FALSE(Probe(out)["streams"].empty()) << out;
  std::string errors;
  if (encodedHere) {
    EXPECT_TRUE(DecodesCleanly(out, &errors)) << out << "\n" << errors;
  }
}

// ---- The fuzzers' findings -------------------------------------------------------
// Every input kept for fuzz_convert_exports goes through that harness's exports: the
// MP3 conversion, the merge of the input with itself and the join with the input
// between two good segments.

struct Finding {
  const char *harness;
  const char *name;  // the kept input, fuzz/regressions/<harness>/<name>
};
void PrintTo(const Finding &f, std::ostream *os) { *os << f.name; }

class FuzzFinding : public ::testing::TestWithParam<Finding> {};

std::string GoodSegment() {
  return MakeFixture("segment.ts", "-f lavfi -i testsrc2=size=320x240:rate=25:duration=2 -f lavfi -i "
                                   "sine=sample_rate=48000:duration=2 -fflags +bitexact -c:v libx264 -preset ultrafast "
                                   "-g 25 -c:a aac -f mpegts");
}

TEST_P(FuzzFinding, ConvertExportsReturnAndLeaveWhatTheyReport) {
  const std::string in = std::string(MPG_SOURCE_DIR) + "/fuzz/regressions/" + GetParam().harness + "/" + GetParam().name;
  ASSERT_TRUE(FileExists(in));
  const std::string segment = GoodSegment();
  const std::string mp3 = Out("out.mp3"), merged = Out("out.mp4"), joined = Out("out.ts");
  const int32_t converted = StatusInChild([&] { return MP3_Convert(in.c_str(), mp3.c_str(), 64000, nullptr, 0); });
  ExpectOutputFitsStatus(converted, mp3, true);
  const int32_t mergedStatus =
      StatusInChild([&] { return MPG_MergeAV(in.c_str(), in.c_str(), merged.c_str(), nullptr, 0); });
  ExpectOutputFitsStatus(mergedStatus, merged, false);
  const int32_t joinedStatus = StatusInChild([&] {
    const char *segments[] = {segment.c_str(), in.c_str(), segment.c_str(), nullptr};
    return MPG_Merge(segments, joined.c_str(), 0, 1, nullptr, 0);
  });
  ExpectOutputFitsStatus(joinedStatus, joined, false);
}

INSTANTIATE_TEST_SUITE_P(ConvertExports, FuzzFinding,
                         ::testing::Values(
                             // A demuxer added a stream while the span of another was measured.
                             Finding{"fuzz_convert_exports", "stream-added-while-measuring"},
                             // Damaged AAC in MP4 decodes to samples 1.3 million times full scale; LAME
                             // asserted in its bit allocation and aborted the process.
                             Finding{"fuzz_convert_exports", "mp3-convert-lame-abort"},
                             // H.264 in MPEG-TS whose parser states chroma location 15, outside FFmpeg's
                             // enum; the join loaded it as the enum type (undefined behaviour).
                             Finding{"fuzz_convert_exports", "concat-invalid-chroma-location"}),
                         [](const auto &info) {
                           std::string name = info.param.name;
                           for (char &c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

// ---- Samples no encoder takes ------------------------------------------------------
// Float samples as a damaged stream decodes to them: noise 1.3 million times full
// scale, then NaN, then infinities among a tone. LAME aborts the process on each of
// them, and the AAC and WMA encoders refuse them; every encoder the library feeds
// gets them clipped. WavPack keeps them as they are and decodes to planar float, as
// AAC does; no output container takes WavPack, so each job re-encodes.

std::string HostileSamplesWavPack() {
  const std::string expr = "if(lt(t\\,0.5)\\,1300000*(random(0)*2-1)\\,if(lt(t\\,1)\\,sqrt(-1)\\,"
                           "if(lt(mod(n\\,100)\\,3)\\,1/0\\,0.5*sin(440*2*PI*t))))";
  return MakeFixture("hostile_samples.wv",
                     "-f lavfi -i aevalsrc='" + expr + "':s=48000:c=stereo:d=1.5 -fflags +bitexact -c:a wavpack");
}

enum class Job { Mp3Convert, Transcode, MergeWithVideo };

struct Encoding {
  const char *name;  // the encoder that meets the samples, and the output
  Job job;
  const char *extension;
  TranscodeParams params;
};
void PrintTo(const Encoding &e, std::ostream *os) { *os << e.name; }

class HostileSamples : public ::testing::TestWithParam<Encoding> {};

TEST_P(HostileSamples, EveryEncoderTakesThemClippedAndTheJobSucceeds) {
  const Encoding &e = GetParam();
  const std::string in = HostileSamplesWavPack(), video = fx::H264Video10s();
  const std::string out = Out(std::string("out.") + e.extension);
  const int32_t status = StatusInChild([&] {
    const Str::string inPath(in.c_str()), outPath(out.c_str());
    switch (e.job) {
      case Job::Mp3Convert: return MP3_Convert(in.c_str(), out.c_str(), 64000, nullptr, 0);
      case Job::Transcode: return MPG_Transcode(&inPath, &outPath, &e.params, nullptr, 0);
      case Job::MergeWithVideo: return MPG_MergeAV(video.c_str(), in.c_str(), out.c_str(), nullptr, 0);
    }
    return INT32_MIN;
  });
  EXPECT_EQ(status, 0);
  // The merge's video is a clean fixture's, copied: its output decodes cleanly too.
  ExpectOutputFitsStatus(status, out, true);
}

// Each container's own audio encoder, and the one a choice asks for.
INSTANTIATE_TEST_SUITE_P(
    Encoders, HostileSamples,
    ::testing::Values(Encoding{"Mp3ConvertLibmp3lame", Job::Mp3Convert, "mp3", {}},
                      Encoding{"MergeAac", Job::MergeWithVideo, "mp4", {}},
                      Encoding{"Libopencore_amrnb3gp", Job::Transcode, "3gp", {.outputFormat = 0, .audioBitRateRequest = 12200}},
                      Encoding{"Libvo_amrwbenc3gp", Job::Transcode, "3gp", {.outputFormat = 0, .audioCodecChoice = 4}},
                      Encoding{"AacAdts", Job::Transcode, "aac", {.outputFormat = 1, .audioBitRateRequest = 64000}},
                      Encoding{"Libmp3lameAvi", Job::Transcode, "avi", {.outputFormat = 2, .audioBitRateRequest = 64000}},
                      Encoding{"Libmp3lameMp3", Job::Transcode, "mp3", {.outputFormat = 3, .audioBitRateRequest = 64000}},
                      Encoding{"AacMp4", Job::Transcode, "mp4", {.outputFormat = 4, .audioBitRateRequest = 64000}},
                      Encoding{"Mp2MpegPs", Job::Transcode, "mpg", {.outputFormat = 5, .audioBitRateRequest = 64000}},
                      Encoding{"Mp2MpegTs", Job::Transcode, "ts", {.outputFormat = 6, .audioBitRateRequest = 64000}},
                      Encoding{"LibopusWebm", Job::Transcode, "webm", {.outputFormat = 7, .audioBitRateRequest = 64000}},
                      Encoding{"Wmav2Asf", Job::Transcode, "wmv", {.outputFormat = 8, .audioBitRateRequest = 64000}}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
