// Output side of the encoder: a chunk buffer in front of the ByteSink, and the bit
// writer of the entropy-coded segment with its byte stuffing (T.81 F.1.2.3).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "image/jpeg/jpeg_encoder.h"

namespace mpg::jpeg {

// Collects bytes and hands them to the sink in large chunks, so the sink is called a
// few times per picture rather than once per byte.
class ByteOutput {
 public:
  static constexpr size_t kCapacity = 16 * 1024;

  explicit ByteOutput(ByteSink& sink) : sink_(sink) {}
  ByteOutput(const ByteOutput&) = delete;
  ByteOutput& operator=(const ByteOutput&) = delete;

  void PutByte(uint8_t b) {
    if (used_ == kCapacity) Flush();
    buffer_[used_++] = b;
  }

  // Marker segments store their lengths and sizes big-endian (T.81 B.1.1.4).
  void PutBigEndian16(uint16_t v) {
    PutByte(static_cast<uint8_t>(v >> 8));
    PutByte(static_cast<uint8_t>(v));
  }

  void PutBytes(const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) PutByte(bytes[i]);
  }

  // Room for at least count (<= kCapacity) bytes at the returned pointer; Commit says
  // how many were used.
  uint8_t* Reserve(size_t count) {
    if (kCapacity - used_ < count) Flush();
    return buffer_.data() + used_;
  }
  void Commit(size_t count) { used_ += count; }

  void Flush() {
    if (used_ != 0) sink_.Write(buffer_.data(), used_);
    used_ = 0;
  }

 private:
  ByteSink& sink_;
  size_t used_ = 0;
  std::array<uint8_t, kCapacity> buffer_;
};

// Writes codes most significant bit first. Pending bits sit in the low end of a 64-bit
// buffer; whenever 32 or more are pending, the oldest 32 leave as four bytes. That is
// the same byte sequence a byte-at-a-time writer produces, in a quarter of the steps.
class BitWriter {
 public:
  explicit BitWriter(ByteOutput& out) : out_(out) {}

  // Appends the low length bits of bits (length 0..32; bits has no higher bits set).
  void PutBits(uint32_t bits, int length) {
    buffer_ = (buffer_ << length) | bits;
    count_ += length;
    if (count_ >= 32) EmitWord();
  }

  // Ends the entropy-coded segment: pads the last byte with 1-bits (F.1.2.3), which is
  // adding seven 1-bits and dropping what does not make a whole byte.
  void Flush() {
    PutBits(0x7F, 7);
    while (count_ >= 8) {
      count_ -= 8;
      uint8_t* dst = out_.Reserve(2);
      out_.Commit(StuffByte(dst, static_cast<uint8_t>(buffer_ >> count_)));
    }
    count_ = 0;
  }

 private:
  // A 0xFF byte in entropy-coded data is followed by 0x00 so that decoders do not
  // take it for a marker (F.1.2.3). Returns the number of bytes stored.
  static size_t StuffByte(uint8_t* dst, uint8_t b) {
    dst[0] = b;
    if (b != 0xFF) return 1;
    dst[1] = 0;
    return 2;
  }

  void EmitWord() {
    count_ -= 32;
    const auto word = static_cast<uint32_t>(buffer_ >> count_);
    uint8_t* dst = out_.Reserve(8);
    // A byte of the word is 0xFF exactly when the same byte of ~word is zero; this is
    // the classic has-zero-byte test on ~word.
    const uint32_t inverted = ~word;
    if (((inverted - 0x01010101u) & ~inverted & 0x80808080u) == 0) {
      const uint8_t bytes[4] = {static_cast<uint8_t>(word >> 24),
                                static_cast<uint8_t>(word >> 16),
                                static_cast<uint8_t>(word >> 8),
                                static_cast<uint8_t>(word)};
      std::memcpy(dst, bytes, 4);
      out_.Commit(4);
      return;
    }
    size_t n = StuffByte(dst, static_cast<uint8_t>(word >> 24));
    n += StuffByte(dst + n, static_cast<uint8_t>(word >> 16));
    n += StuffByte(dst + n, static_cast<uint8_t>(word >> 8));
    n += StuffByte(dst + n, static_cast<uint8_t>(word));
    out_.Commit(n);
  }

  ByteOutput& out_;
  uint64_t buffer_ = 0;
  int count_ = 0;
};

}  // namespace mpg::jpeg
