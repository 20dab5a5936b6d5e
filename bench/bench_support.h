// The driver the comparison benchmarks share: each side of a job (the library, or
// the peer tool doing the same work) runs as a child process timed from fork to
// reaping, with its wall time, CPU time and peak memory; the two sides alternate
// which goes first; medians are compared; every job ends with the line
// bench/run_all.sh reads:
//   BENCH job=<name> lib_median_s=<x> peer_median_s=<y> ratio=<r> peer=<peer> [key=value ...]
// Inputs are made once with the ffmpeg tool and kept.
//
// Header-only: every bench/*.cpp is a program of its own.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace bench {

// BENCH_QUICK=1 asks for a smoke run: fewer runs and smaller inputs.
inline bool Quick() {
  const char *quick = std::getenv("BENCH_QUICK");
  return quick && std::strcmp(quick, "1") == 0;
}

// The running program's own path (to start it again in a library-only mode), or
// empty when it cannot be read.
inline std::string SelfPath() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  buf[n] = '\0';
  return buf;
}

// The directory holding this program, without a closing slash ("." when unknown).
inline std::string SelfDir() {
  const std::string self = SelfPath();
  const auto slash = self.rfind('/');
  return slash == std::string::npos ? "." : self.substr(0, slash);
}

// s in single quotes for the shell.
inline std::string Quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline bool FileExists(const std::string &path) { return access(path.c_str(), R_OK) == 0; }

// Runs the ffmpeg tool, quiet and overwriting, with args (already quoted for the
// shell); true when it succeeded.
inline bool RunFfmpeg(const std::string &args) {
  return std::system(("ffmpeg -nostdin -v error -y " + args).c_str()) == 0;
}

// Makes path with the ffmpeg tool unless it is there already: args are the tool's
// arguments before the output, which is written under a temporary name beside path
// (same extension, so the tool picks the same container) and then renamed, so an
// interrupted run never leaves a partial input behind under the real name.
inline bool MakeInput(const std::string &path, const std::string &args) {
  if (FileExists(path)) return true;
  std::printf("making %s ...\n", path.c_str());
  std::fflush(stdout);
  const auto dot = path.rfind('.');
  const auto slash = path.rfind('/');
  const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  const std::string tmp = hasExt ? path.substr(0, dot) + ".part" + path.substr(dot) : path + ".part";
  if (!RunFfmpeg(args + " " + Quote(tmp)) || std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::fprintf(stderr, "ffmpeg could not make %s\n", path.c_str());
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

// What one side of a job does in its child process; the result is the exit status.
using Body = std::function<int()>;

// A body that replaces the child with the program args names (searched on PATH).
inline Body Exec(std::vector<std::string> args) {
  return [args = std::move(args)] {
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    return 127;
  };
}

struct Sample {
  double seconds = 0;     // wall time from fork to reaping
  double cpuSeconds = 0;  // user + system time of the child, less sensitive to a busy machine
  long peakKiB = 0;       // the child's peak resident memory
  int exitCode = -1;      // -1 when it could not run or ended by a signal
  bool Ok() const { return exitCode == 0; }
};

// Runs body in a child process with its stdout and stderr sent to /dev/null.
inline Sample RunChild(const Body &body) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) {
      dup2(devNull, STDOUT_FILENO);
      dup2(devNull, STDERR_FILENO);
    }
    _exit(body());
  }
  Sample s;
  int status = 0;
  struct rusage usage {};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return s;
  s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  auto seconds = [](const timeval &tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
  s.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  s.peakKiB = usage.ru_maxrss;
  s.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return s;
}

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// The timed runs of one side of a job.
struct Series {
  std::vector<double> seconds;
  std::vector<double> cpuSeconds;
  std::vector<double> peakMiB;
  int failures = 0;
  bool lastFailed = false;
  void Add(const Sample &s) {
    lastFailed = !s.Ok();
    if (lastFailed) ++failures;
    seconds.push_back(s.seconds);
    cpuSeconds.push_back(s.cpuSeconds);
    peakMiB.push_back(s.peakKiB / 1024.0);
  }
};

// One comparison: the library's process and the peer's on the same work.
struct Job {
  std::string name;      // job= of the BENCH line
  std::string peerName;  // peer= of the BENCH line
  Body lib;
  Body peer;
  std::function<bool()> prepare;  // untimed, before every run of either side
};

// Runs both sides once, the library first when libFirst, adding each sample to its
// series. False when either run (or its preparation) failed; both sides run anyway.
inline bool RunRound(const Job &job, bool libFirst, Series &lib, Series &peer) {
  bool ok = true;
  for (int k = 0; k < 2; ++k) {
    const bool isLib = (k == 0) == libFirst;
    if (job.prepare && !job.prepare()) {
      std::fprintf(stderr, "%s: preparing a run failed\n", job.name.c_str());
      return false;
    }
    Series &series = isLib ? lib : peer;
    series.Add(RunChild(isLib ? job.lib : job.peer));
    if (series.lastFailed) {
      std::fprintf(stderr, "%s: the %s run failed\n", job.name.c_str(), isLib ? "library" : job.peerName.c_str());
      ok = false;
    }
  }
  return ok;
}

// One untimed run of each side, which brings the input and both programs into the
// page cache.
inline bool WarmUp(const Job &job) {
  Series lib, peer;
  return RunRound(job, true, lib, peer);
}

// Called after every timed round with its index (from 0) and the series so far.
using RoundReport = std::function<void(int round, const Series &lib, const Series &peer)>;

// A warm-up (when warmUp is set), then runs timed rounds that alternate which side
// goes first, so neither always follows the other's I/O. Stops at the first failure.
inline bool Interleave(const Job &job, int runs, Series &lib, Series &peer, const RoundReport &onRound = nullptr,
                       bool warmUp = true) {
  if (warmUp && !WarmUp(job)) {
    std::fprintf(stderr, "%s: the warm-up failed\n", job.name.c_str());
    return false;
  }
  for (int i = 0; i < runs; ++i) {
    if (!RunRound(job, i % 2 == 0, lib, peer)) {
      std::fprintf(stderr, "%s: run %d failed\n", job.name.c_str(), i + 1);
      return false;
    }
    if (onRound) onRound(i, lib, peer);
  }
  return true;
}

// The BENCH line of a job from its two medians in seconds, printed with `digits`
// decimals; extra (e.g. "lib_peak_mib=12.0 peer_peak_mib=14.5") follows the peer's name.
inline void PrintBenchLine(const std::string &job, double libSeconds, double peerSeconds, const std::string &peer,
                           int digits = 3, const std::string &extra = "") {
  std::printf("BENCH job=%s lib_median_s=%.*f peer_median_s=%.*f ratio=%.3f peer=%s%s%s\n", job.c_str(), digits,
              libSeconds, digits, peerSeconds, libSeconds / peerSeconds, peer.c_str(), extra.empty() ? "" : " ",
              extra.c_str());
  std::fflush(stdout);
}

// Interleave, then the BENCH line of the wall-time medians; false when a run failed.
inline bool RunJob(const Job &job, int runs) {
  Series lib, peer;
  if (!Interleave(job, runs, lib, peer)) return false;
  PrintBenchLine(job.name, Median(lib.seconds), Median(peer.seconds), job.peerName);
  return true;
}

}  // namespace bench
