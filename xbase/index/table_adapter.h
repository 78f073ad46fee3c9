// Plugging a production index into a table.
//
// The table code keeps its indexes through xbase::IndexMaintainer; this is
// the one implementation of it, over ProductionIndex, plus the two helpers
// a table needs to find and describe its index:
//
//   auto fields = index::FieldsOf(table->header());
//   auto path = index::FindProductionIndex(table->path(), table->header());
//   auto idx = path ? index::ProductionIndex::Open(*path, fields, &problem) : nullptr;
//   if (idx && idx->Unmaintainable().empty())
//     table->AddIndex(std::make_unique<index::TableIndex>(std::move(idx)));
//
// Header-only, so that the index library itself does not depend on the
// table library.
#pragma once

#include "xbase/index/production_index.h"
#include "xbase/index_hook.h"
#include "xbase/os_file.h"
#include "xbase/table_header.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace xbase::index {

// The fields as key expressions see them: every descriptor, at its offset.
inline std::vector<FieldInfo> FieldsOf(const TableHeader& header) {
  std::vector<FieldInfo> fields;
  for (const auto& f : header.fields)
    fields.push_back({f.name, f.type, f.offset, f.length, f.decimals, (f.flags & 0x02) != 0});
  return fields;
}

// Which kind of production index a table of this flavour carries.
inline IndexKind ProductionIndexKind(const TableHeader& header) {
  return header.FlavorOfVersion() == Flavor::kDbase4 || header.FlavorOfVersion() == Flavor::kDbase3 ? IndexKind::kMdx : IndexKind::kCdx;
}

// The production index beside a table (same name, .cdx or .mdx in any
// letter case), when the table's flag says it has one and the file exists.
inline std::optional<std::string> FindProductionIndex(const std::string& table_path, const TableHeader& header) {
  if ((header.table_flags & 0x01) == 0) return std::nullopt;
  return FindCompanionFile(table_path, ProductionIndexKind(header) == IndexKind::kCdx ? ".cdx" : ".mdx");
}

// The name a new production index gets beside a new table.
inline std::string ProductionIndexName(const std::string& table_path, const TableHeader& header) {
  return CompanionName(table_path, ProductionIndexKind(header) == IndexKind::kCdx ? ".cdx" : ".mdx");
}

class TableIndex final : public IndexMaintainer {
 public:
  explicit TableIndex(std::unique_ptr<ProductionIndex> index) : index_(std::move(index)) {}
  bool AddRecord(uint32_t record_number, std::span<const uint8_t> record, std::string* problem) override {
    return index_->AddRecord(record_number, record, problem);
  }
  bool Finish(std::string* problem) override { return index_->Flush(problem); }
  bool RemoveRecord(uint32_t record_number, std::span<const uint8_t> record, std::string* problem) override {
    return index_->RemoveRecord(record_number, record, problem);
  }
  ProductionIndex& index() { return *index_; }

 private:
  std::unique_ptr<ProductionIndex> index_;
};

}  // namespace xbase::index
