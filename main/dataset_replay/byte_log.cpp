#include "main/dataset_replay/byte_log.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace velko::dataset_replay {

ByteLog& ByteLog::operator=(ByteLog&& other) noexcept {
  blocks_ = std::move(other.blocks_);
  next_ = std::exchange(other.next_, nullptr);
  free_ = std::exchange(other.free_, 0);
  size_ = std::exchange(other.size_, 0);
  other.blocks_.clear();
  return *this;
}

void ByteLog::add_block() {
  blocks_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(kBlockBytes));
  next_ = blocks_.back().get();
  free_ = kBlockBytes;
}

void ByteLog::append_across(const void* data, std::size_t n) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (n > 0) {
    if (free_ == 0) add_block();
    std::size_t part = std::min(n, free_);
    std::memcpy(next_, bytes, part);
    next_ += part;
    free_ -= part;
    size_ += part;
    bytes += part;
    n -= part;
  }
}

void ByteLog::append_varint(std::uint64_t value) {
  while (value >= 0x80) {
    append_byte(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  append_byte(static_cast<std::uint8_t>(value));
}

ByteLog::Reader::Reader(const ByteLog& log, std::uint64_t offset) : log_(&log) { enter(offset); }

void ByteLog::Reader::enter(std::uint64_t offset) {
  if (offset > log_->size_) throw std::logic_error("read past the end of a byte log");
  std::size_t block = static_cast<std::size_t>(offset / kBlockBytes);
  base_ = block * std::uint64_t{kBlockBytes};
  if (block == log_->blocks_.size()) {
    // The end of a log whose last block is full.
    start_ = next_ = end_ = nullptr;
    return;
  }
  start_ = log_->blocks_[block].get();
  next_ = start_ + (offset - base_);
  end_ = start_ + std::min<std::uint64_t>(kBlockBytes, log_->size_ - base_);
}

void ByteLog::Reader::refill() {
  enter(offset());
  if (next_ == end_) throw std::logic_error("read past the end of a byte log");
}

std::uint64_t ByteLog::Reader::varint() {
  std::uint64_t value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    std::uint8_t part = byte();
    value |= static_cast<std::uint64_t>(part & 0x7F) << shift;
    if (part < 0x80) return value;
  }
  throw std::logic_error("a malformed number in a byte log");
}

void ByteLog::Reader::read(void* out, std::size_t n) {
  auto* bytes = static_cast<std::uint8_t*>(out);
  while (n > 0) {
    if (next_ == end_) refill();
    std::size_t part = std::min(n, static_cast<std::size_t>(end_ - next_));
    std::memcpy(bytes, next_, part);
    next_ += part;
    bytes += part;
    n -= part;
  }
}

std::string ByteLog::Reader::text(std::size_t n) {
  std::string out(n, '\0');
  read(out.data(), n);
  return out;
}

}  // namespace velko::dataset_replay
