// Str::basic_string: the library's string class, in the form hosts hand paths to
// MPG_Transcode. It is a plain owning string with a virtual destructor and a fixed
// layout { vtable; inline text or pointer; size; capacity }, the layout MpgString
// describes for C. The library reads a caller's string only through its text and
// size, never through its virtual functions.
#ifndef MPG_STRING_HPP
#define MPG_STRING_HPP

#include "mpg.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <string_view>
#include <utility>

namespace Str {

template <class CharT>
class basic_string {
 public:
  static constexpr std::size_t kInlineCapacity = 15;  // 16 slots with the terminator

  basic_string() noexcept { text_.buf[0] = CharT(); }
  basic_string(const CharT *s) : basic_string(std::basic_string_view<CharT>(s ? s : EmptyText())) {}
  explicit basic_string(std::basic_string_view<CharT> s) : basic_string() { assign(s); }
  basic_string(const basic_string &other) : basic_string(other.view()) {}
  basic_string(basic_string &&other) noexcept : basic_string() { swap(other); }
  basic_string &operator=(basic_string other) noexcept {
    swap(other);
    return *this;
  }
  virtual ~basic_string() {
    if (!IsInline()) ::operator delete(text_.ptr);
  }

  const CharT *c_str() const noexcept { return IsInline() ? text_.buf : text_.ptr; }
  const CharT *data() const noexcept { return c_str(); }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  std::basic_string_view<CharT> view() const noexcept { return {c_str(), size_}; }
  // Converts to a view as std::string does, so append and += take another string.
  operator std::basic_string_view<CharT>() const noexcept { return view(); }  // NOLINT(google-explicit-constructor)

  basic_string &assign(std::basic_string_view<CharT> s) {
    Reserve(s.size());
    CharT *dst = Mutable();
    if (!s.empty()) std::memmove(dst, s.data(), s.size() * sizeof(CharT));
    size_ = s.size();
    dst[size_] = CharT();
    return *this;
  }
  basic_string &append(std::basic_string_view<CharT> s) {
    // s may view this string's own text, which growing moves (and, leaving the
    // inline buffer, overwrites with the heap pointer): keep its place as an offset.
    const std::size_t ownOffset = OffsetOfOwnText(s.data());
    Reserve(size_ + s.size());
    if (ownOffset != kNotOwnText) s = {c_str() + ownOffset, s.size()};
    CharT *dst = Mutable();
    if (!s.empty()) std::memmove(dst + size_, s.data(), s.size() * sizeof(CharT));
    size_ += s.size();
    dst[size_] = CharT();
    return *this;
  }
  basic_string &operator+=(std::basic_string_view<CharT> s) { return append(s); }
  void clear() noexcept {
    size_ = 0;
    Mutable()[0] = CharT();
  }
  void swap(basic_string &other) noexcept {
    std::swap(text_, other.text_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

 private:
  static const CharT *EmptyText() noexcept {
    static const CharT empty[1] = {CharT()};
    return empty;
  }
  static constexpr std::size_t kNotOwnText = static_cast<std::size_t>(-1);
  // Where p points in this string's text (terminator included), or kNotOwnText.
  // std::less orders pointers into unrelated objects too.
  std::size_t OffsetOfOwnText(const CharT *p) const noexcept {
    const CharT *text = c_str();
    std::less<const CharT *> before;
    if (before(p, text) || before(text + size_, p)) return kNotOwnText;
    return static_cast<std::size_t>(p - text);
  }
  bool IsInline() const noexcept { return capacity_ <= kInlineCapacity; }
  CharT *Mutable() noexcept { return IsInline() ? text_.buf : text_.ptr; }
  void Reserve(std::size_t wanted) {
    if (wanted <= capacity_) return;
    std::size_t grown = capacity_ * 2 > wanted ? capacity_ * 2 : wanted;
    auto *fresh = static_cast<CharT *>(::operator new((grown + 1) * sizeof(CharT)));
    std::memcpy(fresh, c_str(), (size_ + 1) * sizeof(CharT));
    if (!IsInline()) ::operator delete(text_.ptr);
    text_.ptr = fresh;
    capacity_ = grown;
  }

  union {
    CharT buf[kInlineCapacity + 1];
    CharT *ptr;
  } text_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kInlineCapacity;
};

using string = basic_string<char>;
using wstring = basic_string<wchar_t>;

static_assert(sizeof(basic_string<char>) == sizeof(MpgString), "Str::string must match MpgString");

}  // namespace Str

// C++ hosts pass the library's own string objects; the library reads them through
// the MpgString view of the same layout.
inline int32_t MPG_Transcode(const Str::string *inputPath, const Str::string *outputPath,
                             const TranscodeParams *params, ProgressCallback callback,
                             uintptr_t user) noexcept {
  return MPG_Transcode(reinterpret_cast<const MpgString *>(inputPath),
                       reinterpret_cast<const MpgString *>(outputPath), params, callback, user);
}

#endif  // MPG_STRING_HPP
