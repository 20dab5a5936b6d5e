// The packet-write path and its optional side library. The side library is found
// by the dynamic loader's search and, once found, stays for the process, so each
// row runs in a child process whose library path names a folder the test controls.
// The lookup counts come from seams the library has only in its test build.
#include "core/packet_write.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "core/input.h"
#include "support/media.h"

using namespace mpg;
using namespace mpgtest;
namespace fs = std::filesystem;

namespace {

constexpr int kPacketsPerJob = 30;

// One "export call": remuxes the first packets of the video fixture into a
// bit-exact Matroska file through WritePacket. Returns the packets written.
int RemuxJob(const std::string &output) {
  BeginExportCall();
  InputFormatPtr in;
  AVFormatContext *raw = nullptr;
  if (!IsOk(OpenInputFile(fx::H264Video10s().c_str(), in)) ||
      avformat_alloc_output_context2(&raw, nullptr, "matroska", output.c_str()) < 0)
    return -1;
  OutputFormatPtr out(raw);
  out->flags |= AVFMT_FLAG_BITEXACT;
  AVStream *st = avformat_new_stream(out.get(), nullptr);
  avcodec_parameters_copy(st->codecpar, in->streams[0]->codecpar);
  st->codecpar->codec_tag = 0;
  if (avio_open2(&out->pb, output.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr) < 0 || avformat_write_header(out.get(), nullptr) < 0)
    return -1;
  PacketPtr pkt = MakePacket();
  int written = 0;
  for (; written < kPacketsPerJob && av_read_frame(in.get(), pkt.get()) >= 0; ++written) {
    av_packet_rescale_ts(pkt.get(), in->streams[0]->time_base, st->time_base);
    if (WritePacket(out.get(), pkt.get()) < 0) return -1;
    av_packet_unref(pkt.get());
  }
  av_write_trailer(out.get());
  return written;
}

// `threads` export calls at once, each to its own file. Returns the packets written.
int RemuxRound(const std::string &dir, const std::string &round, int threads) {
  std::vector<int> written(static_cast<size_t>(threads), -1);
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i)
    workers.emplace_back([&, i] { written[size_t(i)] = RemuxJob(dir + "/" + round + "-" + std::to_string(i) + ".mkv"); });
  for (std::thread &worker : workers) worker.join();
  int total = 0;
  for (int n : written) total += n;
  return total;
}

// Runs inside the child only (disabled otherwise): two rounds of calls, the side
// library optionally copied in between, then prints what happened for the parent.
TEST(DISABLED_PacketWriteOverrideChild, Run) {
  const char *dir = std::getenv("MPG_TEST_OVERRIDE_DIR");
  if (!dir) GTEST_SKIP() << "runs only as the child of the PacketWriteOverride tests";
  const int threads = std::atoi(std::getenv("MPG_TEST_OVERRIDE_THREADS"));
  const int first = RemuxRound(dir, "job1", threads);
  if (const char *install = std::getenv("MPG_TEST_OVERRIDE_INSTALL")) fs::copy_file(install, std::string(dir) + "/lib/av_interleaved41.dll");
  const int second = RemuxRound(dir, "job2", threads);
  void *plugin = dlopen("av_interleaved41.dll", RTLD_NOW | RTLD_NOLOAD);
  const int *calls = plugin ? static_cast<int *>(dlsym(plugin, "override_plugin_calls")) : nullptr;
  std::printf("RESULT %d %d %d %d %d\n", first, second, PacketWriteOverrideLookups(), PacketWriteOverrideActive() ? 1 : 0,
              calls ? *calls : -1);
}

std::string Plugin(const char *folder) { return std::string(MPG_TEST_BIN_DIR) + "/" + folder + "/av_interleaved41.dll"; }

// What lies in the library folder at the start, what is copied in between the two
// rounds, how many calls each round runs at once, and what the child then reports.
struct OverrideCase {
  const char *placed;     // folder of the library there from the start, or null
  const char *installed;  // folder of the library copied in between the rounds, or null
  int threads;
  int lookups;      // lookups of the side library the process made
  int active;       // its write function in use at the end
  int pluginCalls;  // packets it wrote; -1 when it is not loaded at the end
};

class PacketWriteOverride : public ::testing::TestWithParam<OverrideCase> {};

TEST_P(PacketWriteOverride, WritesEveryPacketAndLooksUpOncePerCallUntilFound) {
  const OverrideCase &c = GetParam();
  const std::string dir = OutputDir();
  fs::create_directories(dir + "/lib");
  if (c.placed) fs::copy_file(Plugin(c.placed), dir + "/lib/av_interleaved41.dll");
  std::string cmd = "MPG_TEST_OVERRIDE_DIR=" + Quote(dir) + " MPG_TEST_OVERRIDE_THREADS=" + std::to_string(c.threads) + " ";
  if (c.installed) cmd += "MPG_TEST_OVERRIDE_INSTALL=" + Quote(Plugin(c.installed)) + " ";
  cmd += "LD_LIBRARY_PATH=" + Quote(dir + "/lib") + " " + Quote(fs::read_symlink("/proc/self/exe").string()) +
         " --gtest_also_run_disabled_tests --gtest_filter=DISABLED_PacketWriteOverrideChild.Run 2>&1";
  std::string out;
  mpgtest::Run(cmd, &out);
  int job1 = -1, job2 = -1, lookups = -1, active = -1, pluginCalls = -2;
  const size_t at = out.find("RESULT ");
  ASSERT_NE(at, std::string::npos) << out;
  std::sscanf(out.c_str() + at, "RESULT %d %d %d %d %d", &job1, &job2, &lookups, &active, &pluginCalls);
  EXPECT_EQ(job1, c.threads * kPacketsPerJob);
  EXPECT_EQ(job2, c.threads * kPacketsPerJob);
  EXPECT_EQ(pluginCalls, c.pluginCalls);
  EXPECT_EQ(lookups, c.lookups) << "one lookup per export call, not per packet, and none once found";
  EXPECT_EQ(active, c.active);
  // Whichever function wrote them, every file equals a plain av_interleaved_write_frame remux.
  const std::string reference = ReadBytes(dir + "/job1-0.mkv");
  ASSERT_FALSE(reference.empty());
  for (const auto &entry : fs::directory_iterator(dir)) {
    EXPECT_TRUE(entry.path().extension() != ".mkv" || ReadBytes(entry.path().string()) == reference) << entry.path();
  }
}

INSTANTIATE_TEST_SUITE_P(
    SideLibrary, PacketWriteOverride,
    ::testing::Values(OverrideCase{nullptr, nullptr, 1, 2, 0, -1},  // absent: FFmpeg writes
                      OverrideCase{"without_export", nullptr, 1, 2, 0, -1},
                      OverrideCase{"with_export", nullptr, 1, 1, 1, 2 * kPacketsPerJob},  // found once and kept
                      OverrideCase{nullptr, "with_export", 1, 2, 1, kPacketsPerJob},   // picked up at the next call
                      // Calls at once: each looks while nothing is found; one found is not loaded again.
                      OverrideCase{nullptr, nullptr, 4, 8, 0, -1},
                      OverrideCase{"with_export", nullptr, 4, 1, 1, 8 * kPacketsPerJob},
                      OverrideCase{nullptr, "with_export", 4, 5, 1, 4 * kPacketsPerJob}));

}  // namespace
