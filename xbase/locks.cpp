#include "xbase/locks.h"

#include <limits>

namespace xbase {

namespace {
constexpr uint64_t kHighHeader = 0x7FFFFFFE;
constexpr uint64_t kLowBase = 0x40000000;
constexpr uint64_t kWholeFile = std::numeric_limits<uint64_t>::max();
}  // namespace

LockScheme LockScheme::ForTable(Flavor flavor, bool structural_cdx) {
  // A version byte of 03 may be a FoxPro 2.x table as well as a dBASE III
  // one: its structural .cdx tells.
  return LockScheme(flavor == Flavor::kVisualFoxPro || structural_cdx);
}

LockRange LockScheme::Header() const { return {high_ ? kHighHeader : kLowBase, 1}; }

LockRange LockScheme::Record(uint32_t number, uint32_t header_length, uint32_t record_length) const {
  if (high_) return {kHighHeader - number, 1};
  return {kLowBase + header_length + uint64_t{number - 1} * record_length, 1};
}

LockRange IndexLock(IndexLockKind kind) { return {kind == IndexLockKind::kCdx ? kHighHeader : kLowBase, 1}; }

HeldLock::HeldLock(HeldLock&& other) noexcept
    : file_(other.file_), lock_(other.lock_), exclusive_(other.exclusive_), from_(other.from_), to_(other.to_) {
  other.file_ = nullptr;
}

HeldLock& HeldLock::operator=(HeldLock&& other) noexcept {
  if (this == &other) return *this;
  if (file_ && !(file_ == other.file_ && lock_ == other.lock_)) Release();
  file_ = other.file_;
  lock_ = other.lock_;
  exclusive_ = other.exclusive_;
  from_ = other.from_;
  to_ = other.to_;
  other.file_ = nullptr;
  return *this;
}

const HeldLock& HeldLock::None() {
  static const HeldLock none(nullptr, {}, false, 0, 0);
  return none;
}

void HeldLock::Release() {
  if (!file_) return;
  file_->file_->Unlock(lock_.offset, lock_.length);
  file_ = nullptr;
}

std::optional<HeldLock> SharedFile::Take(LockRange lock, bool exclusive, int timeout_ms, uint64_t from,
                                         uint64_t to) {
  if (!file_->Lock(lock.offset, lock.length, exclusive, timeout_ms, wait_.cancelled)) return std::nullopt;
  return HeldLock(this, lock, exclusive, exclusive ? from : 0, exclusive ? to : 0);
}

std::optional<HeldLock> SharedFile::LockFile(bool exclusive, std::optional<int> timeout_ms) {
  LockRange lock;
  switch (role_) {
    case FileRole::kTable: lock = scheme_.Header(); break;
    case FileRole::kMemo: lock = scheme_.Companion(); break;
    case FileRole::kCdx: lock = IndexLock(IndexLockKind::kCdx); break;
    case FileRole::kMdx: lock = IndexLock(IndexLockKind::kMdx); break;
  }
  return Take(lock, exclusive, timeout_ms.value_or(wait_.timeout_ms), 0, kWholeFile);
}

std::optional<HeldLock> SharedFile::LockRecord(uint32_t number, uint32_t header_length, uint32_t record_length) {
  if (role_ != FileRole::kTable || number == 0) return std::nullopt;
  const uint64_t at = header_length + uint64_t{number - 1} * record_length;
  return Take(scheme_.Record(number, header_length, record_length), true, wait_.timeout_ms, at, at + record_length);
}

bool SharedFile::Allows(const HeldLock& held, uint64_t offset, uint64_t size) const {
  return held.file_ == this && held.exclusive_ && offset >= held.from_ && offset <= held.to_ &&
         size <= held.to_ - offset;
}

bool SharedFile::WriteAt(const HeldLock& held, uint64_t offset, const void* buffer, size_t size) {
  return Allows(held, offset, size) && file_->WriteAt(offset, buffer, size);
}

bool SharedFile::Truncate(const HeldLock& held, uint64_t size) {
  // Cutting (or growing) the file touches every byte from `size` on.
  return Allows(held, 0, kWholeFile) && file_->Truncate(size);
}

}  // namespace xbase
