// RepairDbf: puts right what an interrupted writer or another program left
// in a table, the way the service itself does when it next opens the file,
// for an administrator who does not want to wait for that.
//
// - A file that holds no complete table header may still hold records: it is
//   kept whole beside it (NAME.damaged) and, when laid out like the template,
//   made whole again with its records where they were; otherwise made again
//   from the template.
// - A header that counts more records than the file holds gets the count
//   the file holds; the torn record is kept beside it (NAME.torn).
// - Complete records past the header's count are taken into it; a part of
//   a record after them is cut off and the end-of-file byte written.
// - A production index that is missing, damaged, ahead of or behind the
//   table, or whose keys disagree with the records, is rebuilt from the
//   table: with the tags of its own index when that still reads, else with
//   the template's.
//
// The template is the one given, else the one the service uses for the
// file's folder: a file in netw/weight/ has netw/gstru.dbf, one in
// netw/action/ has netw/astru.dbf (names compared without regard to case).
// Every repair is one line of the report; the result is the number of
// faults CheckDbf still finds afterwards.
#pragma once

#include <ostream>
#include <string>

namespace tidewell::tools {

int RepairDbf(const std::string& path, const std::string& template_path, std::ostream& report);

// The template the service creates `path` from, by its folder; empty when
// the folder is not one the service writes or the template is not there.
std::string TemplateBeside(const std::string& path);

}  // namespace tidewell::tools
