// POSIX side of the platform layer: paths are UTF-8 bytes handed to the system as
// they are.
#ifndef _WIN32
#include "platform/platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace mpg::platform {

namespace {

#ifdef MPG_TEST_SEAMS
// Fault plan of the test seam: the operation whose count reaches zero fails.
int faultCountdown = 0;

bool InjectedFault() noexcept {
  if (faultCountdown <= 0) return false;
  if (--faultCountdown == 0) {
    errno = EIO;
    return true;
  }
  return false;
}
#else
constexpr bool InjectedFault() noexcept { return false; }
#endif

bool IsEmpty(const char *path) noexcept { return path == nullptr || path[0] == '\0'; }

// Opens path, retrying when a signal interrupts the call.
int OpenFile(const char *path, int flags) noexcept {
  if (IsEmpty(path) || InjectedFault()) return -1;
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  // Closes now and reports whether the last writes reached the file.
  bool Close() noexcept {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Writes every byte from offset on; a signal or a short write only means go on.
bool WriteAllAt(int fd, std::string_view bytes, uint64_t offset) noexcept {
  if (InjectedFault()) return false;
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace

HostPath::HostPath(const char *hostText) : text_(hostText) {}

FileKind GetFileKind(const char *path) noexcept {
  struct stat st;
  if (IsEmpty(path) || ::stat(path, &st) != 0) return FileKind::Missing;
  if (S_ISREG(st.st_mode)) return FileKind::Regular;
  if (S_ISDIR(st.st_mode)) return FileKind::Directory;
  return FileKind::Other;
}

bool IsMissing(const char *path) noexcept {
  struct stat st;
  if (IsEmpty(path)) return true;
  return ::stat(path, &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

ReadResult ReadWholeFile(const char *path, uint64_t maxBytes, std::string &out) {
  Fd fd(OpenFile(path, O_RDONLY));
  if (fd.get() < 0) return ReadResult::CannotOpen;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return ReadResult::CannotOpen;
  if (static_cast<uint64_t>(st.st_size) > maxBytes) return ReadResult::TooLarge;
  out.assign(static_cast<size_t>(st.st_size), '\0');
  size_t got = 0;
  while (got < out.size()) {
    ssize_t n = ::read(fd.get(), out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ReadResult::ReadError;
    if (n == 0) break;  // the file shrank while we read it
    got += static_cast<size_t>(n);
  }
  out.resize(got);
  return ReadResult::Ok;
}

bool OverwriteFileAt(const char *path, uint64_t fileSize, uint64_t offset, std::string_view bytes) noexcept {
  if (offset > fileSize || bytes.size() > fileSize - offset) return false;
  Fd fd(OpenFile(path, O_WRONLY));
  struct stat st;
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (static_cast<uint64_t>(st.st_size) != fileSize || !WriteAllAt(fd.get(), bytes, offset)) return false;
  // The size stays as it was, so the data alone needs to reach the device.
  if (InjectedFault() || ::fdatasync(fd.get()) != 0) return false;
  return !InjectedFault() && fd.Close();
}

std::FILE *OpenForWriting(const char *path) noexcept {
  if (IsEmpty(path)) return nullptr;
  return std::fopen(path, "wbe");  // e: close-on-exec, as every other descriptor here
}

std::FILE *OpenForUpdate(const char *path) noexcept {
  if (IsEmpty(path)) return nullptr;
  return std::fopen(path, "r+be");
}

bool SeekFile(std::FILE *file, int64_t offset, int origin) noexcept {
  return ::fseeko(file, static_cast<off_t>(offset), origin) == 0;
}

int64_t TellFile(std::FILE *file) noexcept { return static_cast<int64_t>(::ftello(file)); }

bool DeleteFile(const char *path) noexcept {
  if (IsEmpty(path) || InjectedFault()) return false;
  return ::unlink(path) == 0 || errno == ENOENT;
}

bool RenameFile(const char *from, const char *to) noexcept {
  if (IsEmpty(from) || IsEmpty(to) || InjectedFault()) return false;
  return ::rename(from, to) == 0;
}

std::optional<std::string> CreateUniqueFileBeside(const char *path) noexcept {
  if (IsEmpty(path)) return std::nullopt;
  constexpr int kAttempts = 100;
  try {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      std::string name = detail::NextNameBeside(path, static_cast<uint32_t>(::getpid()));
      Fd fd(OpenFile(name.c_str(), O_WRONLY | O_CREAT | O_EXCL));
      if (fd.get() >= 0) return name;
      if (errno != EEXIST) return std::nullopt;
    }
  } catch (...) {
    // Out of memory for the name: no file was made.
  }
  return std::nullopt;
}

bool IsSameFile(const char *a, const char *b) noexcept {
  struct stat sa, sb;
  if (IsEmpty(a) || IsEmpty(b)) return false;
  if (::stat(a, &sa) != 0 || ::stat(b, &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

Library Library::Open(const char *name) noexcept {
  if (IsEmpty(name)) return Library();
  // RTLD_NOLOAD finds a module already in the process without loading it again.
  void *handle = ::dlopen(name, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (!handle) handle = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
  return Library(handle);
}

Library &Library::operator=(Library &&other) noexcept {
  if (this != &other) {
    if (handle_) ::dlclose(handle_);
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

Library::~Library() {
  if (handle_) ::dlclose(handle_);
}

void *Library::Symbol(const char *name) const noexcept {
  return handle_ ? ::dlsym(handle_, name) : nullptr;
}

#ifdef MPG_TEST_SEAMS
void FailNthFileOperation(int n) noexcept { faultCountdown = n; }
#endif

}  // namespace mpg::platform
#endif  // !_WIN32
