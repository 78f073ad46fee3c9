#include "xbase/locks.h"

namespace xbase {

namespace {
constexpr uint64_t kHighHeader = 0x7FFFFFFE;
constexpr uint64_t kLowBase = 0x40000000;
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

}  // namespace xbase
