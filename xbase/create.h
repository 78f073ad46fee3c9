// Making table files whole or not at all.
//
// A created table appears whole or not at all: its parts (the .dbf, its
// memo file, its production index) are made in a folder of their own
// beside it (".NAME.new") and moved into place, the .dbf last, so that
// until the .dbf arrives no program opens the table, and once it is there
// its memo file and index are there too. Such a folder left by an
// interrupted creation goes at the next creation or repairing open of the
// file (repair.h).
#pragma once

#include "xbase/index/production_index.h"
#include "xbase/table.h"

#include <cstdint>
#include <string>
#include <vector>

namespace xbase {

// The folder the parts of `path` are made in, and the name `path` has in it.
std::string WorkFolder(const std::string& path);
std::string InWorkFolder(const std::string& path);

// A name beside `path` no file has yet: path + suffix, then suffix2, ...
std::string FreeNameBeside(const std::string& path, const std::string& suffix);

// Creates `path` holding `bytes` (an existing file is an error) and syncs it.
bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);

// Creates an empty table at `path` laid out like `layout`, with a production
// index of `tags` (none when empty; `index_file_header` as index.h's Create
// takes it). A tag list the index kind can't hold makes a table without an
// index, reported. With `replace` false an existing file is refused.
// Reports through options.sink; false when no table was put in place.
bool CreateTable(const std::string& path, TableLayout layout, const std::vector<index::TagDescription>& tags,
                 const std::vector<uint8_t>& index_file_header, bool replace, const TableOptions& options);

}  // namespace xbase
