// Output side of the encoder: a chunk buffer in front of the ByteSink, and the bit
// writer of the entropy-coded segment with its byte stuffing (T.81 F.1.2.3).
#pragma once

#include <array>
#include <bit>
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

// Writes codes most significant bit first (libjpeg-turbo's jchuff.c scheme). Pending
// bits sit in the low end of a 64-bit buffer; when a code does not fit, the part that
// does completes the buffer, all eight bytes leave at once, and the rest of the code
// starts the next buffer. Bits above the pending ones are stale and shift out before
// they are written. The byte sequence is the one a byte-at-a-time writer produces.
//
// The writer only holds the state between blocks; the codes of a block go through a
// BlockBits.
class BitWriter {
 public:
  explicit BitWriter(ByteOutput& out) : out_(out) {}
  BitWriter(const BitWriter&) = delete;
  BitWriter& operator=(const BitWriter&) = delete;

  // Ends the entropy-coded segment: pads the last byte with 1-bits (F.1.2.3).
  inline void Flush();

 private:
  friend class BlockBits;

  ByteOutput& out_;
  uint64_t buffer_ = 0;
  int freeBits_ = 64;
};

// The codes of one block. It copies the writer's state into locals for the block and
// back at the end: the output is written through a uint8_t pointer, which may alias
// anything, so state kept in the writer would be reloaded and stored around every
// byte written. The constructor reserves room for the largest blocks once, so the
// puts never check the output's space.
class BlockBits {
 public:
  // A block is a DC code of at most 16 + 11 bits, at most 63 AC codes of at most
  // 16 + 10 bits (a ZRL, 16 zeros, never costs more than the coefficients it stands
  // for), and an EOB of at most 16 bits: 1681 bits, 211 bytes, 422 with every byte
  // stuffed.
  static constexpr size_t kMaxBlockBytes = 512;
  // What one BlockBits may hold: a ByteOutput must have room for it.
  static constexpr int kMaxBlocks = 24;
  static_assert(kMaxBlocks * kMaxBlockBytes <= ByteOutput::kCapacity);

  // Room for blockCount (1..kMaxBlocks) blocks.
  BlockBits(BitWriter& writer, int blockCount)
      : writer_(writer),
        start_(writer.out_.Reserve(kMaxBlockBytes * static_cast<size_t>(blockCount))),
        dst_(start_),
        buffer_(writer.buffer_),
        freeBits_(writer.freeBits_) {}
  BlockBits(const BlockBits&) = delete;
  BlockBits& operator=(const BlockBits&) = delete;

  ~BlockBits() {
    writer_.buffer_ = buffer_;
    writer_.freeBits_ = freeBits_;
    writer_.out_.Commit(static_cast<size_t>(dst_ - start_));
  }

  // Appends the low length bits of bits (length 1..32; bits has no higher bits set).
  void PutBits(uint32_t bits, int length) {
    freeBits_ -= length;
    if (freeBits_ >= 0) {
      buffer_ = (buffer_ << length) | bits;
      return;
    }
    // length + freeBits_ is the room the buffer had, 0..31; -freeBits_ the bits left
    // over, 1..32 (a 64-bit shift, so 32 is defined).
    buffer_ = (buffer_ << (length + freeBits_)) | (uint64_t{bits} >> -freeBits_);
    EmitBuffer();
    freeBits_ += 64;
    buffer_ = bits;
  }

  // Pads the pending bits with 1-bits to a whole byte (adding seven 1-bits and
  // dropping what does not make a whole byte), writes them and empties the buffer.
  void PadAndEmit() {
    PutBits(0x7F, 7);
    for (int pending = 64 - freeBits_; pending >= 8; pending -= 8) {
      dst_ += StuffByte(dst_, static_cast<uint8_t>(buffer_ >> (pending - 8)));
    }
    buffer_ = 0;
    freeBits_ = 64;
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

  void EmitBuffer() {
    // A byte of the buffer is 0xFF exactly when the same byte of ~buffer is zero;
    // this is the classic has-zero-byte test on ~buffer, exact for "any".
    const uint64_t inverted = ~buffer_;
    if (((inverted - 0x0101010101010101u) & ~inverted & 0x8080808080808080u) == 0) {
      // Most significant byte first: one byte swap and one 8-byte store (a loop of
      // byte stores into a temporary is not turned into this, and its 8-byte reload
      // stalls on the store forwarding).
      const uint64_t bigEndian =
          std::endian::native == std::endian::little ? __builtin_bswap64(buffer_) : buffer_;
      std::memcpy(dst_, &bigEndian, 8);
      dst_ += 8;
      return;
    }
    for (int shift = 56; shift >= 0; shift -= 8) {
      dst_ += StuffByte(dst_, static_cast<uint8_t>(buffer_ >> shift));
    }
  }

  BitWriter& writer_;
  uint8_t* const start_;
  uint8_t* dst_;
  uint64_t buffer_;
  int freeBits_;
};

void BitWriter::Flush() {
  BlockBits bits(*this, 1);
  bits.PadAndEmit();
}

}  // namespace mpg::jpeg
