// The real-file tables' way into mpg.dll: job_host.exe under Wine, started once
// by the command in MPG_TABLE_HOST, reading a job per line and answering a line.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace mpgtest {

class TableHost {
 public:
  // The host of this run; null when the tables call the library in this process.
  static TableHost *Get();
  // Sends one job line and returns the answer line ("!\tjob_host ended" when the
  // host is gone).
  std::string Send(const std::string &job);
  // TAB-separated fields, empty ones too.
  static std::vector<std::string> Fields(const std::string &line);
  // A Linux path as Wine names it.
  static std::string WindowsPath(std::string path);

 private:
  explicit TableHost(const char *command);
  std::string ReadLine();

  FILE *to_ = nullptr, *from_ = nullptr;
};

}  // namespace mpgtest
