#include "xbase/memo_file.h"

#include "xbase/byte_order.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace xbase {
namespace {

constexpr uint8_t kDbt4Signature[4] = {0xFF, 0xFF, 0x08, 0x00};
constexpr uint8_t kDbt4EndMark = 0x1F;

uint32_t NextFreeOf(MemoKind kind, const uint8_t* header) {
  return kind == MemoKind::kFpt ? GetBe32(header) : GetLe32(header);
}

void PutNextFree(MemoKind kind, uint8_t* header, uint32_t block) {
  if (kind == MemoKind::kFpt)
    PutBe32(header, block);
  else
    PutLe32(header, block);
}

}  // namespace

std::unique_ptr<MemoFile> MemoFile::Open(const std::string& path, MemoKind kind, bool writable,
                                         std::string* problem, Env* env) {
  auto file = Env::Or(env).Open(path, writable ? OsFile::Access::kReadWrite : OsFile::Access::kReadOnly, problem);
  if (!file) return nullptr;
  uint8_t header[32];
  if (!file->ReadAt(0, header, sizeof header)) {
    *problem = path + ": memo file shorter than its header";
    return nullptr;
  }
  uint32_t block_size = 512;
  if (kind == MemoKind::kFpt) {
    block_size = GetBe16(header + 6);
    if (block_size == 0) {
      *problem = path + ": memo block size 0";
      return nullptr;
    }
  } else if (kind == MemoKind::kDbt4) {
    block_size = GetLe16(header + 20);
    if (block_size == 0) block_size = 512;  // older writers leave it out
    if (block_size < 64 || block_size % 64 != 0) {
      *problem = path + ": memo block size " + std::to_string(block_size) + " is not a multiple of 64";
      return nullptr;
    }
  }
  return std::unique_ptr<MemoFile>(
      new MemoFile(std::make_unique<SharedFile>(std::move(file), FileRole::kMemo, LockScheme::High()), kind, block_size));
}

std::unique_ptr<MemoFile> MemoFile::Create(const std::string& path, MemoKind kind, uint32_t block_size,
                                           const std::string& table_stem, bool exclusive,
                                           std::string* problem, const std::vector<uint8_t>& model_header,
                                           Env* env) {
  if (kind == MemoKind::kDbt3) block_size = 512;
  if (block_size == 0 || block_size > 0xFFFF || (kind == MemoKind::kDbt4 && block_size % 64 != 0)) {
    *problem = path + ": unusable memo block size " + std::to_string(block_size);
    return nullptr;
  }
  auto created = Env::Or(env).Create(path, exclusive, problem);
  if (!created) return nullptr;
  auto file = std::make_unique<SharedFile>(std::move(created), FileRole::kMemo, LockScheme::High());
  MemoFile memo(nullptr, kind, block_size);
  std::vector<uint8_t> header(std::max<size_t>(kMemoHeaderSize, kind == MemoKind::kFpt ? 0 : block_size), 0);
  if (model_header.size() >= kMemoHeaderSize) std::copy_n(model_header.begin(), kMemoHeaderSize, header.begin());
  // The first data block follows the header, rounded up to whole blocks.
  uint32_t first = memo.FirstDataBlock();
  PutNextFree(kind, header.data(), first);
  switch (kind) {
    case MemoKind::kDbt3:
      header[16] = 0x03;
      break;
    case MemoKind::kDbt4: {
      std::string stem = table_stem.substr(0, 8);
      std::fill_n(header.begin() + 8, 8, uint8_t{0});
      std::memcpy(header.data() + 8, stem.data(), stem.size());
      PutLe16(header.data() + 20, static_cast<uint16_t>(block_size));
      break;
    }
    case MemoKind::kFpt:
      PutBe16(header.data() + 6, static_cast<uint16_t>(block_size));
      header.resize(std::max<size_t>(kMemoHeaderSize, size_t{first} * block_size), 0);
      break;
    case MemoKind::kNone:
      break;
  }
  auto held = file->LockFile(true);
  if (!held || !file->WriteAt(*held, 0, header.data(), header.size())) {
    *problem = path + ": cannot write the memo header";
    return nullptr;
  }
  held.reset();
  return std::unique_ptr<MemoFile>(new MemoFile(std::move(file), kind, block_size));
}

std::vector<uint8_t> MemoFile::Header() {
  std::vector<uint8_t> header(kMemoHeaderSize);
  if (!file_->ReadAt(0, header.data(), header.size())) header.clear();
  return header;
}

std::optional<std::string> MemoFile::Read(uint32_t block, std::string* problem) {
  if (!WritePending(problem)) return std::nullopt;
  auto size = file_->Size();
  uint64_t offset = uint64_t{block} * block_size_;
  if (!size || block < FirstDataBlock() || offset >= *size) {
    *problem = "memo block " + std::to_string(block) + " outside the memo file";
    return std::nullopt;
  }
  uint64_t available = *size - offset;
  bool terminated = kind_ == MemoKind::kDbt3;
  uint8_t head[8];
  uint64_t length = 0;
  if (!terminated) {
    if (available < 8 || !file_->ReadAt(offset, head, 8)) {
      *problem = "memo block " + std::to_string(block) + " cut short";
      return std::nullopt;
    }
    if (kind_ == MemoKind::kFpt) {
      length = GetBe32(head + 4);
    } else if (std::memcmp(head, kDbt4Signature, 4) == 0) {
      uint32_t stored = GetLe32(head + 4);
      length = stored >= 8 ? stored - 8 : 0;
    } else {
      terminated = true;  // a dBASE III style memo inside a dBASE IV file
    }
  }
  if (!terminated) {
    if (length > available - 8 || length > kMaxMemoLength) {
      *problem = "memo at block " + std::to_string(block) + " claims " + std::to_string(length) +
                 " bytes beyond the memo file";
      return std::nullopt;
    }
    std::string data(static_cast<size_t>(length), '\0');
    if (length > 0 && !file_->ReadAt(offset + 8, data.data(), data.size())) {
      *problem = "memo at block " + std::to_string(block) + " unreadable";
      return std::nullopt;
    }
    return data;
  }
  // Text up to the first 1A, read a block at a time.
  std::string data;
  std::vector<char> chunk(block_size_);
  uint64_t limit = std::min<uint64_t>(available, kMaxMemoLength);
  for (uint64_t done = 0; done < limit;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), limit - done));
    if (!file_->ReadAt(offset + done, chunk.data(), n)) break;
    auto end = std::find(chunk.begin(), chunk.begin() + static_cast<long>(n), static_cast<char>(kEndOfFile));
    data.append(chunk.begin(), end);
    if (end != chunk.begin() + static_cast<long>(n)) return data;
    done += n;
  }
  return data;  // unterminated: what the file holds
}

MemoFile::~MemoFile() {
  std::string problem;
  Commit(&problem);
}

bool MemoFile::BeginAppending(int lock_timeout_ms, std::string* problem) {
  lock_ = file_->LockFile(true, lock_timeout_ms);
  if (!lock_) {
    *problem = "memo file locked by another program";
    return false;
  }
  uint8_t counter[4];
  auto size = file_->Size();
  if (!size || !file_->ReadAt(0, counter, 4)) {
    *problem = "memo header unreadable";
  } else {
    uint32_t next = NextFreeOf(kind_, counter);
    uint64_t end_blocks = (*size + block_size_ - 1) / block_size_;
    if (next >= FirstDataBlock() && next <= end_blocks) {
      written_next_ = next_ = next;
      return true;
    }
    *problem = "memo header's next free block " + std::to_string(next) + " does not fit the memo file";
  }
  lock_.reset();
  return false;
}

uint32_t MemoFile::Append(std::string_view data, bool binary, std::string* problem, int lock_timeout_ms) {
  if (data.size() > kMaxMemoLength) {
    *problem = "memo of " + std::to_string(data.size()) + " bytes too long";
    return 0;
  }
  if (!lock_ && !BeginAppending(lock_timeout_ms, problem)) return 0;
  // The block image: header (FoxPro, dBASE IV) or terminator (dBASE III),
  // padded to whole blocks.
  size_t head = kind_ == MemoKind::kDbt3 ? 0 : 8;
  size_t tail = kind_ == MemoKind::kDbt3 ? 2 : kind_ == MemoKind::kDbt4 ? 8 : 0;
  size_t used = head + data.size() + tail;
  size_t blocks = (used + block_size_ - 1) / block_size_;
  if (uint64_t{next_} + blocks > 0xFFFFFFFFull) {
    *problem = "memo file full";
    return 0;
  }
  size_t at = pending_.size();
  pending_.resize(at + blocks * block_size_, 0);
  uint8_t* image = pending_.data() + at;
  if (kind_ == MemoKind::kFpt) {
    PutBe32(image, binary ? 0 : 1);
    PutBe32(image + 4, static_cast<uint32_t>(data.size()));
  } else if (kind_ == MemoKind::kDbt4) {
    std::memcpy(image, kDbt4Signature, 4);
    PutLe32(image + 4, static_cast<uint32_t>(data.size() + 8));
  }
  if (!data.empty()) std::memcpy(image + head, data.data(), data.size());
  if (kind_ == MemoKind::kDbt3) image[head + data.size()] = image[head + data.size() + 1] = kEndOfFile;
  if (kind_ == MemoKind::kDbt4) image[head + data.size()] = kDbt4EndMark;
  uint32_t block = next_;
  next_ += static_cast<uint32_t>(blocks);
  last_end_ = next_;
  // Large batches go out early; the lock stays.
  if (pending_.size() >= (1u << 20) && !WritePending(problem)) return 0;
  return block;
}

bool MemoFile::WritePending(std::string* problem) {
  if (pending_.empty()) return true;
  if (!lock_) {  // blocks are only gathered under the lock; never written without it
    *problem = "memo blocks gathered without the memo file's lock";
    pending_.clear();
    next_ = written_next_;
    return false;
  }
  bool ok = file_->WriteAt(*lock_, uint64_t{written_next_} * block_size_, pending_.data(), pending_.size());
  pending_.clear();
  if (ok) {
    // The blocks are in the file before the header gives them away.
    uint8_t counter[4];
    PutNextFree(kind_, counter, next_);
    ok = file_->WriteAt(*lock_, 0, counter, 4);
  }
  if (!ok) {
    *problem = "cannot write to the memo file";
    next_ = written_next_;
    return false;
  }
  written_next_ = next_;
  return true;
}

bool MemoFile::Commit(std::string* problem) {
  if (!lock_) return true;
  bool ok = WritePending(problem);
  lock_.reset();
  return ok;
}

bool MemoFile::TakeBack(uint32_t first_block, std::string* problem, int lock_timeout_ms) {
  if (!Commit(problem)) return false;
  if (first_block < FirstDataBlock() || first_block >= last_end_) return true;
  auto held = file_->LockFile(true, lock_timeout_ms);
  if (!held) {
    *problem = "memo file locked by another program";
    return false;
  }
  bool ok = true;
  uint8_t counter[4];
  if (!file_->ReadAt(0, counter, 4)) {
    *problem = "memo header unreadable";
    ok = false;
  } else if (NextFreeOf(kind_, counter) == last_end_) {
    // Nobody appended after us: the blocks are ours to give back.
    PutNextFree(kind_, counter, first_block);
    ok = file_->WriteAt(*held, 0, counter, 4) && file_->Truncate(*held, uint64_t{first_block} * block_size_);
    if (!ok) *problem = "cannot write to the memo file";
    last_end_ = first_block;
  }
  return ok;
}

}  // namespace xbase
