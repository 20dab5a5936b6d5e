// The packet-write path and its optional side library. The side library is found
// by the dynamic loader's search, and once found it stays for the process, so each
// case runs in a child process whose library path names a folder the test controls.
#include "core/packet_write.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "core/streams.h"
#include "support/media.h"

using namespace mpg;
using namespace mpgtest;
namespace fs = std::filesystem;

namespace {

const char *kCaseVar = "MPG_TEST_OVERRIDE_CASE";
const char *kInstallVar = "MPG_TEST_OVERRIDE_INSTALL";  // plug-in to copy in mid-run
const char *kDirVar = "MPG_TEST_OVERRIDE_DIR";
constexpr int kPacketsPerJob = 30;

// One "export call": remuxes the first packets of the video fixture into a
// bit-exact Matroska file, every packet through WritePacket. Returns packets written.
int RemuxJob(const std::string &output) {
  BeginExportCall();
  InputFormatPtr in;
  if (!IsOk(OpenInputFile(fx::H264Video10s().c_str(), in))) return -1;
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

// Runs inside the child: two jobs, optionally installing the plug-in between them,
// then prints what happened for the parent to check.
TEST(PacketWriteOverrideChild, Run) {
  const char *which = std::getenv(kCaseVar);
  if (!which) GTEST_SKIP() << "runs only as the child of the PacketWriteOverride tests";
  const std::string dir = std::getenv(kDirVar);
  int first = RemuxJob(dir + "/job1.mkv");
  if (const char *install = std::getenv(kInstallVar)) fs::copy_file(install, dir + "/lib/av_interleaved41.dll");
  int second = RemuxJob(dir + "/job2.mkv");
  std::printf("RESULT jobs=%d,%d lookups=%d active=%d plugin_calls=%d\n", first, second,
              PacketWriteOverrideLookups(), PacketWriteOverrideActive() ? 1 : 0, PluginCalls());
}

struct ChildResult {
  int job1 = -1, job2 = -1, lookups = -1, active = -1, pluginCalls = -2;
};

ChildResult RunChild(const std::string &name, const std::string &pluginToPlace, const std::string &pluginToInstall) {
  const std::string dir = OutputDir();
  fs::create_directories(dir + "/lib");
  if (!pluginToPlace.empty()) fs::copy_file(pluginToPlace, dir + "/lib/av_interleaved41.dll");
  std::string cmd = std::string(kCaseVar) + "=" + name + " " + kDirVar + "=" + Quote(dir) + " ";
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

TEST(PacketWriteOverride, AbsentLibraryWritesThroughFfmpegAndIsLookedUpOncePerCall) {
  ChildResult r = RunChild("absent", "", "");
  EXPECT_EQ(r.job1, kPacketsPerJob);
  EXPECT_EQ(r.job2, kPacketsPerJob);
  EXPECT_EQ(r.lookups, 2) << "one lookup per export call, not per packet";
  EXPECT_EQ(r.active, 0);
  EXPECT_EQ(r.pluginCalls, -1);
  // The output equals a plain av_interleaved_write_frame remux of the same packets.
  EXPECT_EQ(ReadBytes(OutputDir() + "/job1.mkv"), ReadBytes(OutputDir() + "/job2.mkv"));
}

TEST(PacketWriteOverride, LibraryWithoutTheExportIsNotUsed) {
  ChildResult r = RunChild("no-export", PluginWithoutExport(), "");
  EXPECT_EQ(r.job1, kPacketsPerJob);
  EXPECT_EQ(r.job2, kPacketsPerJob);
  EXPECT_EQ(r.lookups, 2);
  EXPECT_EQ(r.active, 0);
}

TEST(PacketWriteOverride, LibraryWithTheExportWritesEveryPacketAfterOneLookup) {
  ChildResult r = RunChild("export", PluginWithExport(), "");
  EXPECT_EQ(r.job1, kPacketsPerJob);
  EXPECT_EQ(r.job2, kPacketsPerJob);
  EXPECT_EQ(r.lookups, 1) << "found once, then cached for the process";
  EXPECT_EQ(r.active, 1);
  EXPECT_EQ(r.pluginCalls, 2 * kPacketsPerJob);
}

TEST(PacketWriteOverride, LibraryInstalledWhileRunningIsPickedUpAtTheNextCall) {
  ChildResult r = RunChild("installed-later", "", PluginWithExport());
  EXPECT_EQ(r.job1, kPacketsPerJob);
  EXPECT_EQ(r.job2, kPacketsPerJob);
  EXPECT_EQ(r.lookups, 2);
  EXPECT_EQ(r.active, 1);
  EXPECT_EQ(r.pluginCalls, kPacketsPerJob) << "only the second job's packets go through the side library";
}

}  // namespace
