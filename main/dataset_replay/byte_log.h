// An append-only store of bytes that grows in fixed blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace velko::dataset_replay {

// Bytes appended one record after the other and read back from an offset. It grows a block
// at a time and never moves what it holds: a store of N bytes never needs 2N while it grows,
// as a doubling buffer does.
class ByteLog {
 public:
  // Bytes per block.
  static constexpr std::size_t kBlockBytes = std::size_t{1} << 16;

  ByteLog() = default;
  ByteLog(ByteLog&& other) noexcept { *this = std::move(other); }
  ByteLog& operator=(ByteLog&& other) noexcept;

  // Bytes appended so far; the offset of the next byte.
  std::uint64_t size() const { return size_; }
  // Bytes of memory held by the blocks.
  std::size_t capacity() const { return blocks_.size() * kBlockBytes; }

  void append(const void* data, std::size_t n) {
    if (n <= free_) {
      std::memcpy(next_, data, n);
      next_ += n;
      free_ -= n;
      size_ += n;
    } else {
      append_across(data, n);
    }
  }
  void append_byte(std::uint8_t byte) {
    if (free_ == 0) add_block();
    *next_++ = byte;
    --free_;
    ++size_;
  }
  // Appends an unsigned number in 7-bit groups, low first (one byte below 128).
  void append_varint(std::uint64_t value);

  // Reads the log forwards from an offset.
  class Reader {
   public:
    Reader(const ByteLog& log, std::uint64_t offset);

    std::uint8_t byte() {
      if (next_ == end_) refill();
      return *next_++;
    }
    std::uint64_t varint();
    void read(void* out, std::size_t n);
    std::string text(std::size_t n);
    void skip(std::uint64_t n) { enter(offset() + n); }
    std::uint64_t offset() const { return base_ + static_cast<std::uint64_t>(next_ - start_); }

   private:
    // Moves to an absolute offset, at most the log's size.
    void enter(std::uint64_t offset);
    // Moves on to the next block; throws std::logic_error at the end of the log.
    void refill();

    const ByteLog* log_;
    std::uint64_t base_ = 0;  // the offset of start_
    const std::uint8_t* start_ = nullptr;
    const std::uint8_t* next_ = nullptr;
    const std::uint8_t* end_ = nullptr;
  };

 private:
  void add_block();
  // Appends what the current block has no room for, block by block.
  void append_across(const void* data, std::size_t n);

  std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;
  std::uint8_t* next_ = nullptr;
  std::size_t free_ = 0;
  std::uint64_t size_ = 0;
};

}  // namespace velko::dataset_replay
