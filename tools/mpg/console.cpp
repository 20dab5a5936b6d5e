#include "console.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// shellapi.h needs the full windows.h types that the lean header leaves out.
#include <shellapi.h>
#endif

#include <cstdarg>
#include <memory>
#include <optional>

namespace mpgcli {

namespace {

std::string Format(const char *format, va_list ap) {
  va_list again;
  va_copy(again, ap);
  const int n = std::vsnprintf(nullptr, 0, format, again);
  va_end(again);
  if (n <= 0) return {};
  std::string text(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, ap);
  text.resize(static_cast<size_t>(n));
  return text;
}

#ifdef _WIN32
// Strict both ways: a name is never mapped to a look-alike or a replacement.
std::optional<std::string> ToUtf8(const wchar_t *wide) {
  const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::nullopt;
  std::string text(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, text.data(), n, nullptr, nullptr);
  text.resize(static_cast<size_t>(n - 1));
  return text;
}

std::optional<std::wstring> ToWide(const std::string &text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), n);
  return wide;
}
#endif

}  // namespace

bool ReadArguments(int argc, char **argv, std::vector<std::string> &args, size_t &badIndex) {
  args.clear();
#ifdef _WIN32
  // argv holds the command line in the ANSI code page, where characters it lacks
  // have already become look-alikes: read the wide command line instead.
  (void)argc;
  (void)argv;
  int count = 0;
  std::unique_ptr<wchar_t *, decltype(&LocalFree)> wide(CommandLineToArgvW(GetCommandLineW(), &count), &LocalFree);
  if (!wide) {
    badIndex = 0;
    return false;
  }
  for (int i = 0; i < count; ++i) {
    std::optional<std::string> arg = ToUtf8(wide.get()[i]);
    if (!arg) {
      badIndex = static_cast<size_t>(i);
      return false;
    }
    args.push_back(std::move(*arg));
  }
#else
  (void)badIndex;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
#endif
  return true;
}

void Print(std::FILE *stream, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  const std::string text = Format(format, ap);
  va_end(ap);
#ifdef _WIN32
  // A console takes UTF-16; a pipe or a file gets the UTF-8 bytes.
  HANDLE console = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  const std::optional<std::wstring> wide = ToWide(text);
  if (wide && GetConsoleMode(console, &mode)) {
    std::fflush(stream);
    DWORD written = 0;
    WriteConsoleW(console, wide->data(), static_cast<DWORD>(wide->size()), &written, nullptr);
    return;
  }
#endif
  std::fwrite(text.data(), 1, text.size(), stream);
}

std::FILE *OpenFile(const std::string &path, const char *mode) {
#ifdef _WIN32
  const std::optional<std::wstring> widePath = ToWide(path), wideMode = ToWide(mode);
  return widePath && wideMode ? _wfopen(widePath->c_str(), wideMode->c_str()) : nullptr;
#else
  return std::fopen(path.c_str(), mode);
#endif
}

std::filesystem::path FsPath(const std::string &path) {
  // char8_t text is UTF-8 on every system; plain char would be read in the ANSI
  // code page on Windows.
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

}  // namespace mpgcli
