// Memo files: the .dbt (dBASE III, dBASE IV) and .fpt (FoxPro) companions
// that hold memo texts in numbered blocks. The table stores a block number.
//
//  dBASE III .dbt (512-byte blocks, little-endian)
//    header block 0:  0  4  next free block
//                    16  1  version, 03
//    a memo: its bytes from the start of its block, ended by 1A 1A, over as
//            many consecutive blocks as it needs
//
//  dBASE IV .dbt (little-endian)
//    header block 0:  0  4  next free block
//                     8  8  table name without extension
//                    20  2  block size (a multiple of 64, usually 512)
//    a memo block:    0  4  FF FF 08 00
//                     4  4  length of the memo plus these 8 bytes
//                     8  .. the memo's bytes, over consecutive blocks
//                        then 1F and 7 zero bytes outside the counted
//                        length, for readers that look for an end mark
//                        and read 8 bytes too many
//
//  FoxPro .fpt (big-endian)
//    header, 512 bytes:  0  4  next free block
//                        6  2  block size (VFP default 64)
//    a memo block:       0  4  type: 0 picture/binary, 1 text
//                        4  4  length of the memo
//                        8  .. the memo's bytes, over consecutive blocks
//    block n starts at n * block size; the first blocks cover the header.
//
// Memos are only ever appended: a new text takes new blocks at the end and
// the header's next-free block number moves on, under the memo file's lock
// so that other writers of the same memo file are not overwritten. The lock
// is taken at the first Append and held, with the new blocks gathered in
// memory, until Commit writes them and the new next-free block number; the
// table commits its memo file before the records that point into it.
#pragma once

#include "xbase/env.h"
#include "xbase/locks.h"
#include "xbase/os_file.h"
#include "xbase/table_header.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace xbase {

constexpr size_t kMemoHeaderSize = 512;
// Longest memo the engine reads back; anything a block header claims beyond
// the file or this is damage.
constexpr uint32_t kMaxMemoLength = 64u << 20;

class MemoFile {
 public:
  static std::unique_ptr<MemoFile> Open(const std::string& path, MemoKind kind, bool writable,
                                        std::string* problem, Env* env = nullptr);
  // A new, empty memo file. `table_stem` goes into a dBASE IV header. With
  // `model_header` (another memo file's Header()) the new header repeats its
  // bytes but for the next free block, the block size and the table name.
  static std::unique_ptr<MemoFile> Create(const std::string& path, MemoKind kind, uint32_t block_size,
                                          const std::string& table_stem, bool exclusive, std::string* problem,
                                          const std::vector<uint8_t>& model_header = {}, Env* env = nullptr);

  MemoKind kind() const { return kind_; }
  // Asked while waiting for the memo file's lock; true ends the wait.
  void set_cancelled(std::function<bool()> cancelled) { file_->set_wait({0, std::move(cancelled)}); }
  // The lock scheme of the memo's table: every writer of this memo file
  // locks its table's header byte in it (locks.h); the memo's bytes
  // themselves stay readable meanwhile.
  void set_scheme(LockScheme scheme) { file_->set_scheme(scheme); }
  // The header block (the first 512 bytes) as the file holds it; empty
  // when it can't be read.
  std::vector<uint8_t> Header();
  uint32_t block_size() const { return block_size_; }

  // The memo that starts at `block`; nullopt (and *problem) when the block
  // lies outside the file or its header does not make sense.
  std::optional<std::string> Read(uint32_t block, std::string* problem);

  // Places `data` in new blocks at the end; returns the first block
  // number, or 0 with *problem on failure. `binary` selects the FoxPro block
  // type for pictures and blobs. The blocks reach the file at Commit.
  uint32_t Append(std::string_view data, bool binary, std::string* problem, int lock_timeout_ms = 10000);

  // Writes the appended blocks and the header, and lets go of the lock.
  bool Commit(std::string* problem);

  // Gives back the blocks from `first_block` on, appended last by this
  // object and committed: the next free block becomes `first_block` again
  // and the file is cut there. When another program has appended memos
  // since, the blocks are left where they are (unreferenced, harmless) and
  // the result is still true. False only when the file can't be read or
  // written.
  bool TakeBack(uint32_t first_block, std::string* problem, int lock_timeout_ms = 10000);

  ~MemoFile();
  MemoFile(const MemoFile&) = delete;
  MemoFile& operator=(const MemoFile&) = delete;

 private:
  MemoFile(std::unique_ptr<SharedFile> file, MemoKind kind, uint32_t block_size)
      : file_(std::move(file)), kind_(kind), block_size_(block_size) {}
  uint32_t FirstDataBlock() const { return (kMemoHeaderSize + block_size_ - 1) / block_size_; }
  bool BeginAppending(int lock_timeout_ms, std::string* problem);
  bool WritePending(std::string* problem);

  std::unique_ptr<SharedFile> file_;
  MemoKind kind_;
  uint32_t block_size_;
  std::optional<HeldLock> lock_;  // held from the first Append to Commit
  uint32_t written_next_ = 0;     // next free block as the file's header has it
  uint32_t next_ = 0;             // next free block after the pending ones
  uint32_t last_end_ = 0;         // next free block after this object's last append
  std::vector<uint8_t> pending_;  // blocks from written_next_ on, not yet written
};

}  // namespace xbase
