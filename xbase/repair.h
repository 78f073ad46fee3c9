// Repairs of what an interrupted writer or a damaged file leaves behind,
// made where a table is opened for writing.
//
// OpenRepaired takes complete records past the header's count into the
// count (a torn last record kept aside), and gives the production index the
// keys it is missing; one that is missing, damaged or ahead of the table is
// rebuilt from the table with the tags of the index template. Each repair
// is reported in one line through options.sink.
#pragma once

#include "xbase/table.h"

#include <memory>
#include <string>

namespace xbase {

// Opens `path` as Table::Open does and, unless options.read_only, repairs
// it first and keeps its production index up to date (see above). An
// empty `index_template`: a missing or damaged index is only reported.
std::unique_ptr<Table> OpenRepaired(const std::string& path, const TableOptions& options,
                                    const std::string& index_template);

// Rebuilds the production index of `table` from its records: the tags of
// its own index when that reads, else those of the index template. The
// table is opened again around the new index (so the old one is not written
// over it on close); on failure `table` may be null (open it again).
bool RebuildProductionIndex(std::unique_ptr<Table>& table, const std::string& index_template,
                            const TableOptions& options);

// True when `path` exists and holds no complete table header (0 bytes, or
// cut inside the header).
bool HeaderMissing(const std::string& path);

// For a file HeaderMissing names that is not empty: keeps it whole beside
// it (path + ".damaged", numbered when taken) and, when its field
// descriptors are the template's, puts the template's header over the
// records it holds (a torn last record kept in path + ".torn"); a file not
// laid out like the template is moved aside with its memo and index files.
// One report line either way. Returns the records salvaged (the file is
// whole again), kSalvageRecreate (the file must now be made from the
// template: missing, empty or moved aside) or kSalvageFailed (no template,
// a write failed: the file is left as it is).
constexpr long kSalvageRecreate = -1;
constexpr long kSalvageFailed = -2;
long SalvageHeader(const std::string& path, const std::string& template_path, const TableOptions& options);

// Removes the table at `path` with its memo and index files when it holds
// no record, checked and removed under the table's append lock.
bool RemoveTableIfEmpty(const std::string& path);

}  // namespace xbase
