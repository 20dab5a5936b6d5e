// The library's only operating-system-aware code: files, dynamic loading and the
// form of the host's paths. Inside the library every path is UTF-8; HostPath makes
// it so at the export boundary, and the Windows side turns it into UTF-16 for the
// system's wide calls (FFmpeg's file protocol does the same with UTF-8 paths).
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace mpg::platform {

// How the host spells its paths (MPG_SetPathEncoding): in the process's ANSI code
// page, or in UTF-8. Only Windows tells the two apart; elsewhere a path is UTF-8
// bytes either way.
enum class PathEncoding { Ansi, Utf8 };
// The host sets it once for every later call of every thread, as it sets the
// progress scale: one process-wide value, read by each HostPath.
void SetHostPathEncoding(PathEncoding encoding) noexcept;
PathEncoding HostPathEncoding() noexcept;

// A path as the host passed it, read as UTF-8. POSIX hosts pass UTF-8 bytes, used
// as they are; Windows hosts pass text in the process's ANSI code page (CP_ACP) or,
// when they asked for it, UTF-8, converted or checked here once. A name that does
// not convert exactly (bytes that are not valid in that encoding) is refused, never
// mapped to a look-alike: Refused() is true and c_str() empty. A null path stays
// null, an empty one empty. Throws std::bad_alloc.
class HostPath {
 public:
  explicit HostPath(const char *hostText);
  HostPath(const HostPath &) = delete;
  HostPath &operator=(const HostPath &) = delete;
  const char *c_str() const noexcept { return text_; }
  bool Refused() const noexcept { return refused_; }

 private:
  std::string converted_;
  const char *text_ = nullptr;
  bool refused_ = false;
};

// True when no path of a call was refused.
template <class... Paths>
bool AllNamed(const Paths &...paths) noexcept {
  return (!paths.Refused() && ...);
}

enum class FileKind { Missing, Regular, Directory, Other };

// What is at path, following links; Missing also for an empty or null path.
FileKind GetFileKind(const char *path) noexcept;
// True only when the system says nothing stands at path (no such file or folder);
// false when something does or the system cannot tell.
bool IsMissing(const char *path) noexcept;

enum class ReadResult { Ok, CannotOpen, TooLarge, ReadError };
// Reads the whole regular file at path into out when it holds at most maxBytes.
ReadResult ReadWholeFile(const char *path, uint64_t maxBytes, std::string &out);
// Writes bytes over the bytes of the existing regular file at path from offset, in
// one write, and flushes them to the device before it returns; the file is neither
// created, truncated nor extended. Nothing is written unless the file holds
// fileSize bytes, so a file that changed since it was measured is left alone, nor
// when the bytes would reach past its end, or when another process has the file
// open for writing (Windows). False when nothing or not every step succeeded.
bool OverwriteFileAt(const char *path, uint64_t fileSize, uint64_t offset, std::string_view bytes) noexcept;
// Opens a file for writing as fopen(path, "wb") does; null when it cannot.
std::FILE *OpenForWriting(const char *path) noexcept;
// Opens an existing file for reading and writing in place, as fopen(path, "r+b");
// null when it cannot.
std::FILE *OpenForUpdate(const char *path) noexcept;
// fseek and ftell with 64-bit offsets on every system.
bool SeekFile(std::FILE *file, int64_t offset, int origin) noexcept;
int64_t TellFile(std::FILE *file) noexcept;
// Removes a file (never a directory). True when it is gone.
bool DeleteFile(const char *path) noexcept;
// Renames from over to, replacing it atomically.
bool RenameFile(const char *from, const char *to) noexcept;
// Creates a new, empty file beside path, named path + "." + a suffix of its own +
// ".tmp", exclusively: a file that already stands at a name tried is never opened,
// so no file of the user's is ever taken. Returns the name, or nothing when no file
// can be made there (a read-only folder, a name longer than the system allows).
std::optional<std::string> CreateUniqueFileBeside(const char *path) noexcept;

// True when both paths name one existing file (same device and inode), through
// links and different spellings of the path.
bool IsSameFile(const char *a, const char *b) noexcept;

// ASCII case-insensitive comparison: <0, 0 or >0, as strcmp.
int CompareNoCase(std::string_view a, std::string_view b) noexcept;

// A dynamically loaded library found by name, the way the system's loader
// searches. Released on destruction unless Keep() hands it to the process.
class Library {
 public:
  Library() = default;
  // An already-loaded module of that name, else a fresh load; empty when neither.
  static Library Open(const char *name) noexcept;
  Library(Library &&other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  Library &operator=(Library &&other) noexcept;
  ~Library();
  explicit operator bool() const noexcept { return handle_ != nullptr; }
  void *Symbol(const char *name) const noexcept;
  // Leaves the module loaded for the life of the process.
  void Keep() noexcept { handle_ = nullptr; }

 private:
  explicit Library(void *handle) : handle_(handle) {}
  void *handle_ = nullptr;
};

namespace detail {
// For both sides of the layer: the next name CreateUniqueFileBeside tries for path,
// path + "." + 8 hex digits + ".tmp". Throws std::bad_alloc.
std::string NextNameBeside(const char *path, uint32_t processId);
}  // namespace detail

#ifdef MPG_TEST_SEAMS
// Test seam, only in the internal library that tests link: makes the n-th
// following platform file operation (open, delete, rename, and the write, flush
// and close of an overwrite; counted from 1) fail as the operating system would,
// without effect. 0 disarms.
void FailNthFileOperation(int n) noexcept;
#endif

}  // namespace mpg::platform
