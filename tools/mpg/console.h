// The tool's text where it meets the system: its arguments, its files and its
// output. The tool works in UTF-8 throughout. On Windows the command line is read
// as UTF-16 and converted strictly, files are opened by their wide names, and text
// written to a console goes through WriteConsoleW; elsewhere all of it is bytes as
// they are.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace mpgcli {

// The program's arguments, argv[0] included, as UTF-8. False when one does not
// convert exactly (an unpaired surrogate on Windows); badIndex then names it.
bool ReadArguments(int argc, char **argv, std::vector<std::string> &args, size_t &badIndex);

#ifdef __MINGW32__
#define MPG_TOOL_PRINTF __attribute__((format(__MINGW_PRINTF_FORMAT, 2, 3)))
#else
#define MPG_TOOL_PRINTF __attribute__((format(printf, 2, 3)))
#endif
// printf onto stream (stdout or stderr): a console shows UTF-8 text as it is meant.
void Print(std::FILE *stream, const char *format, ...) MPG_TOOL_PRINTF;

// A file named in UTF-8, opened as std::fopen would open it.
std::FILE *OpenFile(const std::string &path, const char *mode);

// A UTF-8 name as the standard library's file system functions take it.
std::filesystem::path FsPath(const std::string &path);

}  // namespace mpgcli
