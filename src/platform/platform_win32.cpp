// Windows side of the platform layer. The library's paths are UTF-8; every call
// here takes them to UTF-16 for the system's wide functions, so any name the file
// system holds can be reached, whatever the ANSI code page.
#ifdef _WIN32
#include "platform/platform.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h maps DeleteFile to DeleteFileA; ours is the platform operation.
#undef DeleteFile

#include <cstdio>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

namespace mpg::platform {

namespace {

bool IsEmpty(const char *path) noexcept { return path == nullptr || path[0] == '\0'; }

// Text in codePage as UTF-16, strictly: nothing for bytes that are not valid in
// that code page, never a replacement character.
std::optional<std::wstring> Widen(UINT codePage, const char *text) {
  const int n = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  if (::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, -1, wide.data(), n) != n) return std::nullopt;
  wide.resize(static_cast<size_t>(n - 1));
  return wide;
}

// UTF-16 as UTF-8, strictly: nothing for an unpaired surrogate.
std::optional<std::string> ToUtf8(const std::wstring &wide) {
  const int n = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::nullopt;
  std::string text(static_cast<size_t>(n), '\0');
  if (::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.c_str(), -1, text.data(), n, nullptr, nullptr) != n)
    return std::nullopt;
  text.resize(static_cast<size_t>(n - 1));
  return text;
}

// The host's path text as UTF-8 when it converts exactly, else nothing.
std::optional<std::string> HostTextToUtf8(const char *hostText) {
  // A process whose ANSI code page is UTF-8 (its manifest says so) passes UTF-8
  // through the ANSI route too.
  const UINT codePage =
      HostPathEncoding() == PathEncoding::Utf8 || ::GetACP() == CP_UTF8 ? UINT{CP_UTF8} : UINT{CP_ACP};
  const std::optional<std::wstring> wide = Widen(codePage, hostText);
  if (!wide) return std::nullopt;
  std::optional<std::string> utf8 = ToUtf8(*wide);
  // UTF-8 must come back byte for byte: a decoder that let an overlong form or an
  // encoded surrogate through would have named another file.
  if (utf8 && codePage == CP_UTF8 && *utf8 != hostText) return std::nullopt;
  return utf8;
}

// A path of MAX_PATH characters or more, made absolute, reaches past the system's
// length limit behind the \\?\ prefix (\\?\UNC\ for a share), as FFmpeg's file
// protocol opens it: download folders nest deep and titles run long.
std::wstring ExtendedIfLong(std::wstring wide) {
  if (wide.starts_with(L"\\\\?\\") || wide.starts_with(L"\\??\\")) return wide;
  const DWORD need = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (need == 0) return wide;
  std::wstring full(need, L'\0');
  const DWORD n = ::GetFullPathNameW(wide.c_str(), need, full.data(), nullptr);
  if (n == 0 || n >= need) return wide;
  full.resize(n);
  if (full.size() < MAX_PATH || full.starts_with(L"\\\\.\\")) return wide;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// The wide form of a UTF-8 path; empty for an empty path, text that is not UTF-8,
// or when memory runs out.
std::wstring WidePath(const char *path) noexcept {
  if (IsEmpty(path)) return {};
  try {
    std::optional<std::wstring> wide = Widen(CP_UTF8, path);
    return wide ? ExtendedIfLong(std::move(*wide)) : std::wstring();
  } catch (...) {
    return {};
  }
}

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (valid()) ::CloseHandle(h_);
  }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

// Opens whatever stands at path for its attributes only (directories included),
// following links, without keeping anyone else from reading, writing or deleting it.
HANDLE OpenForInfo(const char *path) noexcept {
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return INVALID_HANDLE_VALUE;
  return ::CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool ReadInfo(const char *path, BY_HANDLE_FILE_INFORMATION &info) noexcept {
  Handle h(OpenForInfo(path));
  return h.valid() && ::GetFileInformationByHandle(h.get(), &info) != 0;
}

bool IsDirectory(const BY_HANDLE_FILE_INFORMATION &info) noexcept {
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

HostPath::HostPath(const char *hostText) : text_(hostText) {
  if (IsEmpty(hostText)) return;
  // Every path is converted or checked: an ANSI string that happens to be valid
  // UTF-8 would name another file, and FFmpeg's file protocol opens a path that is
  // not UTF-8 through the ANSI functions, whose best-fit mapping reaches look-alikes.
  std::optional<std::string> utf8 = HostTextToUtf8(hostText);
  refused_ = !utf8;
  converted_ = utf8 ? std::move(*utf8) : std::string();
  text_ = converted_.c_str();
}

FileKind GetFileKind(const char *path) noexcept {
  BY_HANDLE_FILE_INFORMATION info;
  if (!ReadInfo(path, info)) return FileKind::Missing;
  if (IsDirectory(info)) return FileKind::Directory;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) ? FileKind::Other : FileKind::Regular;
}

bool IsMissing(const char *path) noexcept {
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return IsEmpty(path);
  if (::GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
  const DWORD error = ::GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

ReadResult ReadWholeFile(const char *path, uint64_t maxBytes, std::string &out) {
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return ReadResult::CannotOpen;
  Handle h(::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid() || ::GetFileType(h.get()) != FILE_TYPE_DISK) return ReadResult::CannotOpen;
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(h.get(), &size) || size.QuadPart < 0) return ReadResult::CannotOpen;
  if (static_cast<uint64_t>(size.QuadPart) > maxBytes) return ReadResult::TooLarge;
  out.assign(static_cast<size_t>(size.QuadPart), '\0');
  size_t got = 0;
  while (got < out.size()) {
    const size_t left = out.size() - got;
    const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD n = 0;
    if (!::ReadFile(h.get(), out.data() + got, chunk, &n, nullptr)) return ReadResult::ReadError;
    if (n == 0) break;  // the file shrank while we read it
    got += n;
  }
  out.resize(got);
  return ReadResult::Ok;
}

bool OverwriteFileAt(const char *path, uint64_t fileSize, uint64_t offset, std::string_view bytes) noexcept {
  if (offset > fileSize || bytes.size() > fileSize - offset) return false;
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return false;
  // Readers may share the file; a writer holding it open (a download still
  // running) makes the open fail, so the head is never written under it.
  Handle h(::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr));
  if (!h.valid() || ::GetFileType(h.get()) != FILE_TYPE_DISK) return false;
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(h.get(), &size) || static_cast<uint64_t>(size.QuadPart) != fileSize) return false;
  while (!bytes.empty()) {
    // The offset goes with each write: a synchronous handle writes there and moves on.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD chunk = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
    DWORD n = 0;
    if (!::WriteFile(h.get(), bytes.data(), chunk, &n, &at) || n == 0) return false;
    bytes.remove_prefix(n);
    offset += n;
  }
  return ::FlushFileBuffers(h.get()) != 0;
}

std::FILE *OpenForWriting(const char *path) noexcept {
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return nullptr;
  return ::_wfopen(wide.c_str(), L"wb");
}

std::FILE *OpenForUpdate(const char *path) noexcept {
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return nullptr;
  return ::_wfopen(wide.c_str(), L"r+b");
}

bool SeekFile(std::FILE *file, int64_t offset, int origin) noexcept { return ::_fseeki64(file, offset, origin) == 0; }

int64_t TellFile(std::FILE *file) noexcept { return ::_ftelli64(file); }

bool DeleteFile(const char *path) noexcept {
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return false;
  if (::DeleteFileW(wide.c_str())) return true;
  const DWORD error = ::GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool RenameFile(const char *from, const char *to) noexcept {
  const std::wstring wideFrom = WidePath(from);
  const std::wstring wideTo = WidePath(to);
  if (wideFrom.empty() || wideTo.empty()) return false;
  return ::MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

std::optional<std::string> CreateUniqueFileBeside(const char *path) noexcept {
  if (IsEmpty(path)) return std::nullopt;
  constexpr int kAttempts = 100;
  try {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      std::string name = detail::NextNameBeside(path, ::GetCurrentProcessId());
      const std::wstring wide = WidePath(name.c_str());
      if (wide.empty()) return std::nullopt;
      // CREATE_NEW never opens a file that already stands there.
      Handle h(::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (h.valid()) return name;
      const DWORD error = ::GetLastError();
      if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return std::nullopt;
    }
  } catch (...) {
    // Out of memory for the name: no file was made.
  }
  return std::nullopt;
}

bool IsSameFile(const char *a, const char *b) noexcept {
  // One file is one volume and one file index, whatever path, link or short name
  // leads to it.
  BY_HANDLE_FILE_INFORMATION ia, ib;
  if (!ReadInfo(a, ia) || !ReadInfo(b, ib)) return false;
  return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
         ia.nFileIndexLow == ib.nFileIndexLow;
}

Library Library::Open(const char *name) noexcept {
  if (IsEmpty(name)) return Library();
  // A module already in the process is taken with its own reference, so releasing
  // ours never unloads the host's.
  HMODULE module = nullptr;
  if (!::GetModuleHandleExA(0, name, &module)) module = ::LoadLibraryA(name);
  return Library(reinterpret_cast<void *>(module));
}

Library &Library::operator=(Library &&other) noexcept {
  if (this != &other) {
    if (handle_) ::FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

Library::~Library() {
  if (handle_) ::FreeLibrary(static_cast<HMODULE>(handle_));
}

void *Library::Symbol(const char *name) const noexcept {
  if (!handle_) return nullptr;
  return reinterpret_cast<void *>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}

}  // namespace mpg::platform
#endif  // _WIN32
