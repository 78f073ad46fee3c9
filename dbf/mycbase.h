// mycbase: the program's own operations on .dbf files, over the library
// calls of CodeBase.h: opening with path completion and retries, creating a
// file like a template, assigning a text to a field, and the path helper.
//
// They log into MainLog when it exists. The first call of OpenDbf or
// CreateDbfLike also routes the library's own reports (damaged files and
// the like) into MainLog.
#pragma once

#include <string>

#include "dbf/CodeBase.h"

namespace tidewell {

// Opens an existing .dbf file; null when it doesn't exist or can't be opened.
// A bare name is taken from the current directory, a name without an
// extension gets ".dbf". A missing file is logged as "File %s NOT FOUND!";
// one that exists but does not open is tried 21 times, 100 ms apart, without
// a log line, and no more once the library's cancel question says stop
// (code4setCancel). With a tag name, that tag is selected as the file's order.
DbfHandle OpenDbf(CodeHandle Code, const std::string& FileName, const std::string& TagName);

// Creates NewName with the fields and index tags of TemplateName, which is
// only read (opened read-only). False, and nothing created, when the
// template can't be opened or the file can't be made; the library says why.
bool CreateDbfLike(CodeHandle Code, const std::string& TemplateName, const std::string& NewName);

// Stores Value in the named field of the current record (memo fields through
// the memo assignment); a name the file lacks is ignored. False only when a
// memo could not be stored: the record then lacks a text it should hold.
// A number too wide for its field is stored as the format allows (asterisks)
// and still counts as stored; Overflow, when given, tells the caller so.
// Removes a table that holds no record, with its memo file and production
// index; the table goes first, so an interruption never leaves a table
// without its companions. False (and nothing removed) when the file holds
// a record, or more than its header says, or can't be read.
bool RemoveDbfWithoutRecords(const std::string& FileName);

bool AssignDbfField(DbfHandle Data, const std::string& FieldName, const std::string& Value,
                    bool* Overflow = nullptr);

// True when FileName must be made from its template: it does not exist, or
// it holds no complete table header (see SalvageDbf before making it).
bool DbfNeedsCreating(const std::string& FileName);

// For a file DbfNeedsCreating named: one that is there may hold records,
// and is never made again in place. It is kept whole beside it and, when
// it is laid out like TemplateName, made whole again with the records it
// holds (d4salvage; one log line). True when the file must now be made
// from the template; false when it is whole again, or could not be kept
// aside and must be left as it is (it then fails to open, and its rows wait).
bool SalvageDbf(CodeHandle Code, const std::string& FileName, const std::string& TemplateName);

// Opens FileName and closes it again, so that whatever opening repairs is
// repaired now (records past the header's count, a production index that
// is missing, damaged or behind, rebuilt with the tags of TemplateName's
// index). False when the file does not open.
bool RepairDbf(CodeHandle Code, const std::string& FileName, const std::string& TemplateName);

// Sends the library's own reports (damaged files, repairs) to MainLog, for
// every CodeHandle made afterwards. OpenDbf and CreateDbfLike call it.
void RouteLibraryReports();

// Path without one trailing path separator (the platform's).
std::string StripTrailingBackslash(const std::string& Path);

}  // namespace tidewell
