// The packet-write path and its optional side library. The side library is found
// by the dynamic loader's search, and once found it stays for the process, so each
// case runs in a child process whose library path names a folder the test controls.
// The lookup counts come from test seams the library has only in its test build.
#include "core/packet_write.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/streams.h"
#include "support/media.h"

using namespace mpg;
using namespace mpgtest;
namespace fs = std::filesystem;

namespace {

const char *kCaseVar = "MPG_TEST_OVERRIDE_CASE";
const char *kInstallVar = "MPG_TEST_OVERRIDE_INSTALL";  // plug-in to copy in mid-run
const char *kDirVar = "MPG_TEST_OVERRIDE_DIR";
const char *kThreadsVar = "MPG_TEST_OVERRIDE_THREADS";  // jobs run at once in each round
constexpr int kPacketsPerJob = 30;

// One "export call": remuxes the first packets of the video fixture into a
// bit-exact Matroska file, every packet through WritePacket. Returns packets written.
int RemuxJob(const std::string &input, const std::string &output) {
  BeginExportCall();
  InputFormatPtr in;
  if (!IsOk(OpenInputFile(input.c_str(), in))) return -1;
  AVFormatContext *rawOut = nullptr;
  if (avformat_alloc_output_context2(&rawOut, nullptr, "matroska", output.c_str()) < 0) return -1;
  OutputFormatPtr out(rawOut);
  out->flags |= AVFMT_FLAG_BITEXACT;
  AVStream *st = avformat_new_stream(out.get(), nullptr);
  avcodec_parameters_copy(st->codecpar, in->streams[0]->codecpar);
  st->codecpar->codec_tag = 0;
  if (avio_open2(&out->pb, output.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr) < 0) return -1;
  if (avformat_write_header(out.get(), nullptr) < 0) return -1;
  PacketPtr pkt = MakePacket();
  int written = 0;
  while (written < kPacketsPerJob && av_read_frame(in.get(), pkt.get()) >= 0) {
    av_packet_rescale_ts(pkt.get(), in->streams[0]->time_base, st->time_base);
    pkt->stream_index = 0;
    if (WritePacket(out.get(), pkt.get()) < 0) return -1;
    av_packet_unref(pkt.get());
    ++written;
  }
  av_write_trailer(out.get());
  return written;
}

int PluginCalls() {
  void *handle = dlopen("av_interleaved41.dll", RTLD_NOW | RTLD_NOLOAD);
  if (!handle) return -1;
  auto *calls = static_cast<int *>(dlsym(handle, "override_plugin_calls"));
  int n = calls ? *calls : -1;
  dlclose(handle);
  return n;
}

// One round of export calls, `threads` of them at once, each on its own thread and
// output. Returns the packets they wrote together.
int RemuxRound(const std::string &dir, const std::string &round, int threads) {
  const std::string input = fx::H264Video10s();  // made by the parent already
  std::vector<int> written(static_cast<size_t>(threads), -1);
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) {
    const std::string output = dir + "/" + round + (i == 0 ? "" : "-" + std::to_string(i)) + ".mkv";
    workers.emplace_back([&written, i, input, output] { written[static_cast<size_t>(i)] = RemuxJob(input, output); });
  }
  for (std::thread &worker : workers) worker.join();
  int total = 0;
  for (int n : written) total += n;
  return total;
}

// Runs inside the child: two rounds of jobs, optionally installing the plug-in
// between them, then prints what happened for the parent to check.
TEST(PacketWriteOverrideChild, Run) {
  const char *which = std::getenv(kCaseVar);
  if (!which) GTEST_SKIP() << "runs only as the child of the PacketWriteOverride tests";
  const std::string dir = std::getenv(kDirVar);
  const int threads = std::getenv(kThreadsVar) ? std::atoi(std::getenv(kThreadsVar)) : 1;
  int first = RemuxRound(dir, "job1", threads);
  if (const char *install = std::getenv(kInstallVar)) fs::copy_file(install, dir + "/lib/av_interleaved41.dll");
  int second = RemuxRound(dir, "job2", threads);
#ifdef MPG_TEST_SEAMS
  const int lookups = PacketWriteOverrideLookups();
  const int active = PacketWriteOverrideActive() ? 1 : 0;
#else
  const int lookups = -1, active = -1;
#endif
  std::printf("RESULT jobs=%d,%d lookups=%d active=%d plugin_calls=%d\n", first, second, lookups, active,
              PluginCalls());
}

struct ChildResult {
  int job1 = -1, job2 = -1, lookups = -1, active = -1, pluginCalls = -2;
};

ChildResult RunChild(const std::string &name, const std::string &pluginToPlace, const std::string &pluginToInstall,
                     int threads = 1) {
  const std::string dir = OutputDir();
  fx::H264Video10s();  // made here, so the child's threads only read it
  fs::create_directories(dir + "/lib");
  if (!pluginToPlace.empty()) fs::copy_file(pluginToPlace, dir + "/lib/av_interleaved41.dll");
  std::string cmd = std::string(kCaseVar) + "=" + name + " " + kDirVar + "=" + Quote(dir) + " " + kThreadsVar +
                    "=" + std::to_string(threads) + " ";
  if (!pluginToInstall.empty()) cmd += std::string(kInstallVar) + "=" + Quote(pluginToInstall) + " ";
  cmd += "LD_LIBRARY_PATH=" + Quote(dir + "/lib") + " " + Quote(fs::read_symlink("/proc/self/exe").string()) +
         " --gtest_filter=PacketWriteOverrideChild.Run 2>&1";
  std::string out;
  mpgtest::Run(cmd, &out);
  ChildResult r;
  auto pos = out.find("RESULT ");
  EXPECT_NE(pos, std::string::npos) << out;
  if (pos != std::string::npos) {
    std::sscanf(out.c_str() + pos, "RESULT jobs=%d,%d lookups=%d active=%d plugin_calls=%d", &r.job1, &r.job2,
                &r.lookups, &r.active, &r.pluginCalls);
  }
  return r;
}

std::string PluginWithExport() { return std::string(MPG_TEST_BIN_DIR) + "/with_export/av_interleaved41.dll"; }
std::string PluginWithoutExport() { return std::string(MPG_TEST_BIN_DIR) + "/without_export/av_interleaved41.dll"; }

// One row per situation of the side library: what lies in the library folder at
// the start, what is copied in between the two rounds, how many calls each round runs
// at once, and what the child then reports.
struct OverrideCase {
  const char *name;
  std::string (*placed)();     // in the folder from the start, or null
  std::string (*installed)();  // copied in between the rounds, or null
  int threads;
  int lookups;      // lookups of the side library the process made
  int active;       // its write function in use at the end
  int pluginCalls;  // packets it wrote; -1 when it is not loaded at the end
};

class PacketWriteOverride : public ::testing::TestWithParam<OverrideCase> {};

TEST_P(PacketWriteOverride, WritesEveryPacketAndLooksUpOncePerCallUntilFound) {
  const OverrideCase &c = GetParam();
  ChildResult r = RunChild(c.name, c.placed ? c.placed() : "", c.installed ? c.installed() : "", c.threads);
  EXPECT_EQ(r.job1, c.threads * kPacketsPerJob);
  EXPECT_EQ(r.job2, c.threads * kPacketsPerJob);
  EXPECT_EQ(r.pluginCalls, c.pluginCalls);
#ifdef MPG_TEST_SEAMS
  EXPECT_EQ(r.lookups, c.lookups) << "one lookup per export call, not per packet, and none once found";
  EXPECT_EQ(r.active, c.active);
#endif
  // Whichever function wrote them, every job's file equals a plain
  // av_interleaved_write_frame remux of the same packets.
  const std::string reference = ReadBytes(OutputDir() + "/job1.mkv");
  ASSERT_FALSE(reference.empty());
  for (const auto &entry : fs::directory_iterator(OutputDir())) {
    if (entry.path().extension() == ".mkv") {
      EXPECT_EQ(ReadBytes(entry.path().string()), reference) << entry.path();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    SideLibrary, PacketWriteOverride,
    ::testing::Values(
        OverrideCase{"AbsentLibraryWritesThroughFfmpeg", nullptr, nullptr, 1, 2, 0, -1},
        OverrideCase{"LibraryWithoutTheExportIsNotUsed", PluginWithoutExport, nullptr, 1, 2, 0, -1},
        OverrideCase{"LibraryWithTheExportIsFoundOnceAndKept", PluginWithExport, nullptr, 1, 1, 1,
                     2 * kPacketsPerJob},
        // Only the second round's packets go through the side library.
        OverrideCase{"LibraryInstalledWhileRunningIsPickedUpAtTheNextCall", nullptr, PluginWithExport, 1, 2, 1,
                     kPacketsPerJob},
        // Calls on several threads at once: a library found by one call is not
        // loaded again by the others.
        OverrideCase{"LibraryWithTheExportFoundOnceByCallsAtOnce", PluginWithExport, nullptr, 4, 1, 1,
                     8 * kPacketsPerJob},
        OverrideCase{"LibraryInstalledWhileRunningIsFoundOnceByCallsAtOnce", nullptr, PluginWithExport, 4, 5, 1,
                     4 * kPacketsPerJob}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
