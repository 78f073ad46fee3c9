// CheckDbf: everything the engine promises about a table, checked from the
// files alone.
//
// - The header: it parses, and header length + records * record length
//   agrees with the file size, the end-of-file byte 1A right after the
//   last record.
// - Memo fields: every block number points at a readable memo.
// - The production index (when the table's flag says there is one): it
//   exists and reads without damage; in every tag, the keys are in order
//   (equal keys by record number), and each record that passes the tag's
//   FOR condition has exactly one key, equal to the tag's expression on
//   the record (a unique tag: only the first record of each key), and
//   there are no other keys.
//
// Every fault is one line of the report; the result is the number of faults.
#pragma once

#include <ostream>
#include <string>

namespace tidewell::tools {

int CheckDbf(const std::string& path, std::ostream& report);

}  // namespace tidewell::tools
