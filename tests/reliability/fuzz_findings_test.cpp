// Inputs that took the process down or broke a rule of the language, run through the exports
// that met them, each call in a child process: an abort, a crash or a sanitizer report fails
// its row and the suite goes on.
#include <gtest/gtest.h>

#include <string>

#include "mpg.h"
#include "mpg_string.hpp"
#include "support/media.h"

// Requests name the fields they set; designated initializers leave the others 0.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace mpgtest;

// Runs call in a child process (a crash or sanitizer report fails the test); gives its status.
int32_t StatusInChild(const std::function<int32_t()> &call) {
  std::string log;
  const auto status = InChild([&] { return std::to_string(call()); }, &log);
  EXPECT_TRUE(status) << log;
  return status ? std::stoi(*status) : INT32_MIN;
}

// Float samples as a damaged stream decodes to them: noise 1.3 million times full scale,
// then NaN, then infinities among a tone. LAME aborts the process on each of them, and the
// AAC and WMA encoders refuse them; every encoder the library feeds gets them clipped.
// WavPack keeps them as they are and decodes to planar float, as AAC does; no output
// container takes WavPack, so each job re-encodes.
std::string HostileSamplesWavPack() {
  const std::string expr = "if(lt(t\\,0.5)\\,1300000*(random(0)*2-1)\\,if(lt(t\\,1)\\,sqrt(-1)\\,"
                           "if(lt(mod(n\\,100)\\,3)\\,1/0\\,0.5*sin(440*2*PI*t))))";
  return MakeFixture("hostile_samples.wv",
                     "-f lavfi -i aevalsrc='" + expr + "':s=48000:c=stereo:d=1.5 -fflags +bitexact -c:a wavpack");
}
// An input the fuzzers kept, fuzz/regressions/fuzz_convert_exports/<name>.
template <const char *name>
std::string Kept() { return std::string(MPG_SOURCE_DIR) + "/fuzz/regressions/fuzz_convert_exports/" + name; }
std::string GoodSegment() {
  return MakeFixture("segment.ts", "-f lavfi -i testsrc2=size=320x240:rate=25:duration=2 -f lavfi -i "
                                   "sine=sample_rate=48000:duration=2 -fflags +bitexact -c:v libx264 -preset ultrafast "
                                   "-g 25 -c:a aac -f mpegts");
}

// A kept input goes through the exports its harness calls: the MP3 conversion, the merge of
// the input with itself, the join with the input between two good segments; it may fail,
// leaving no output. The hostile samples meet every audio encoder, and each job succeeds.
enum class Job { Mp3Convert, Transcode, MergeWithVideo, MergeWithItself, JoinBetweenGoodSegments };
struct Row {
  const char *name;
  std::string (*input)();
  Job job;
  const char *extension;
  TranscodeParams params = {};
};
void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

void RunRow(const Row &r) {
  const std::string in = r.input(), video = fx::H264Video10s(), segment = GoodSegment();
  const std::string out = Out(std::string("out.") + r.extension);
  ASSERT_TRUE(FileExists(in));
  const int32_t status = StatusInChild([&] {
    const Str::string inPath(in.c_str()), outPath(out.c_str());
    const char *segments[] = {segment.c_str(), in.c_str(), segment.c_str(), nullptr};
    switch (r.job) {
      case Job::Mp3Convert: return MP3_Convert(in.c_str(), out.c_str(), 64000, nullptr, 0);
      case Job::Transcode: return MPG_Transcode(&inPath, &outPath, &r.params, nullptr, 0);
      case Job::MergeWithVideo: return MPG_MergeAV(video.c_str(), in.c_str(), out.c_str(), nullptr, 0);
      case Job::MergeWithItself: return MPG_MergeAV(in.c_str(), in.c_str(), out.c_str(), nullptr, 0);
      case Job::JoinBetweenGoodSegments: return MPG_Merge(segments, out.c_str(), 0, 1, nullptr, 0);
    }
    return INT32_MIN;
  });
  const bool kept = r.input != HostileSamplesWavPack;
  EXPECT_TRUE(kept || status == 0) << status;
  // A call that returns 0 leaves an output ffprobe reads, which decodes cleanly where every
  // stream was encoded here (or copied from a clean fixture); a failure leaves none.
  EXPECT_EQ(FileExists(out), status == 0) << "status " << status;
  if (status != 0) return;
  EXPECT_FALSE(Probe(out)["streams"].empty()) << out;
  std::string errors;
  EXPECT_TRUE(r.job >= Job::MergeWithItself || DecodesCleanly(out, &errors)) << out << "\n" << errors;
}

class FuzzFinding : public ::testing::TestWithParam<Row> {};
TEST_P(FuzzFinding, ConvertExportsReturnAndLeaveWhatTheyReport) { RunRow(GetParam()); }
class HostileSamples : public ::testing::TestWithParam<Row> {};
TEST_P(HostileSamples, EveryEncoderTakesThemClippedAndTheJobSucceeds) { RunRow(GetParam()); }
auto RowName = [](const auto &info) { return std::string(info.param.name); };

// A demuxer added a stream while the span of another was measured.
constexpr char kStreamAdded[] = "stream-added-while-measuring";
// Damaged AAC in MP4 decodes to samples 1.3 million times full scale; LAME asserted in its bit
// allocation and aborted the process.
constexpr char kLameAbort[] = "mp3-convert-lame-abort";
// H.264 in MPEG-TS whose parser states chroma location 15, outside FFmpeg's enum; the join
// loaded it as the enum type (undefined behaviour).
constexpr char kChroma[] = "concat-invalid-chroma-location";
INSTANTIATE_TEST_SUITE_P(ConvertExports, FuzzFinding, ::testing::Values(
    Row{"StreamAddedMp3", Kept<kStreamAdded>, Job::Mp3Convert, "mp3"},
    Row{"StreamAddedMerge", Kept<kStreamAdded>, Job::MergeWithItself, "mp4"},
    Row{"StreamAddedJoin", Kept<kStreamAdded>, Job::JoinBetweenGoodSegments, "ts"},
    Row{"LameAbortMp3", Kept<kLameAbort>, Job::Mp3Convert, "mp3"},
    Row{"LameAbortMerge", Kept<kLameAbort>, Job::MergeWithItself, "mp4"},
    Row{"LameAbortJoin", Kept<kLameAbort>, Job::JoinBetweenGoodSegments, "ts"},
    Row{"ChromaLocationMp3", Kept<kChroma>, Job::Mp3Convert, "mp3"},
    Row{"ChromaLocationMerge", Kept<kChroma>, Job::MergeWithItself, "mp4"},
    Row{"ChromaLocationJoin", Kept<kChroma>, Job::JoinBetweenGoodSegments, "ts"}), RowName);

// Each container's own audio encoder, and the one a choice asks for.
constexpr auto W = HostileSamplesWavPack;
constexpr auto T = Job::Transcode;
INSTANTIATE_TEST_SUITE_P(Encoders, HostileSamples, ::testing::Values(
    Row{"Mp3ConvertLibmp3lame", W, Job::Mp3Convert, "mp3"}, Row{"MergeAac", W, Job::MergeWithVideo, "mp4"},
    Row{"Libopencore_amrnb3gp", W, T, "3gp", {.outputFormat = 0, .audioBitRateRequest = 12200}},
    Row{"Libvo_amrwbenc3gp", W, T, "3gp", {.outputFormat = 0, .audioCodecChoice = 4}},
    Row{"AacAdts", W, T, "aac", {.outputFormat = 1, .audioBitRateRequest = 64000}},
    Row{"Libmp3lameAvi", W, T, "avi", {.outputFormat = 2, .audioBitRateRequest = 64000}},
    Row{"Libmp3lameMp3", W, T, "mp3", {.outputFormat = 3, .audioBitRateRequest = 64000}},
    Row{"AacMp4", W, T, "mp4", {.outputFormat = 4, .audioBitRateRequest = 64000}},
    Row{"Mp2MpegPs", W, T, "mpg", {.outputFormat = 5, .audioBitRateRequest = 64000}},
    Row{"Mp2MpegTs", W, T, "ts", {.outputFormat = 6, .audioBitRateRequest = 64000}},
    Row{"LibopusWebm", W, T, "webm", {.outputFormat = 7, .audioBitRateRequest = 64000}},
    Row{"Wmav2Asf", W, T, "wmv", {.outputFormat = 8, .audioBitRateRequest = 64000}}), RowName);

}  // namespace
