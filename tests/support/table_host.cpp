#include "support/table_host.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>

namespace mpgtest {

TableHost *TableHost::Get() {
  static TableHost *host = std::getenv("MPG_TABLE_HOST") ? new TableHost(std::getenv("MPG_TABLE_HOST")) : nullptr;
  return host;
}

TableHost::TableHost(const char *command) {
  std::signal(SIGPIPE, SIG_IGN);  // a host that died fails each row with its answer, not the whole run
  int in[2], out[2];
  if (pipe(in) || pipe(out)) return;
  if (fork() == 0) {
    dup2(in[0], 0), dup2(out[1], 1), close(in[1]), close(out[0]);
    execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
    _exit(127);
  }
  close(in[0]), close(out[1]);
  to_ = fdopen(in[1], "w"), from_ = fdopen(out[0], "r");
  const std::string line = ReadLine();
  const std::vector<std::string> ready = Fields(line);
  if (ready.size() != 2 || ready[1] != "ready") ADD_FAILURE() << "job_host did not start: " << line;
}

std::string TableHost::Send(const std::string &job) {
  if (to_) std::fprintf(to_, "%s\n", job.c_str()), std::fflush(to_);
  return ReadLine();
}

std::string TableHost::ReadLine() {
  std::string line;
  for (int c; from_ && (c = std::fgetc(from_)) != EOF && c != '\n';) line += char(c);
  return line.empty() ? "!\tjob_host ended" : line;
}

std::vector<std::string> TableHost::Fields(const std::string &line) {
  std::vector<std::string> f{""};
  for (char c : line) c == '\t' ? f.emplace_back() : f.back() += c;
  return f;
}

std::string TableHost::WindowsPath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}

}  // namespace mpgtest
