// CodeBase: the dBASE library calls the program makes, with the call shapes
// it uses, over our own engine (xbase/).
//
// Handles are opaque pointers; a null handle means failure. A CodeHandle owns
// every table opened or created under it until d4close or code4close. Arrays
// from d4fieldInfo and i4tagInfo belong to the caller and are released with
// u4freeDefault. All calls for one CodeHandle come from one thread.
//
// d4create's handle does not keep the new file open: the table is opened
// again when the handle is first used, so that creating many files in one
// run holds no file descriptors. A created file appears whole or not at
// all: its parts are made in a folder of their own beside it (".NAME.new")
// and moved into place, the .dbf last; such a folder left by an
// interrupted creation goes at the next creation or open of the file.
//
// Opening a table repairs what an interrupted writer can leave: complete
// records past the header's count are taken into the count, and a
// production index that is behind the table gets the missing keys; one
// that is missing, damaged or ahead of the table is rebuilt from the
// table with the tags of the index template (code4indexTemplate). Each
// repair is reported in one line. d4appendBlank that fails leaves no current
// record: assignments then fail and d4recNo gives 0, so values meant for a
// new record never overwrite the previous one.
//
// Settings (each returns the previous value):
//   code4errOpen      1 (default): a failed d4open is reported; 0: it just
//                     returns null. Damage found in a file is reported either
//                     way, once per file and CodeHandle.
//   code4errFieldName 1 (default): d4field on a missing name is reported;
//                     0: it just returns null.
//   code4safety       1 (default): d4create refuses to replace a file;
//                     0: an existing file is replaced.
//   code4readOnly     0 (default): tables open for reading and writing;
//                     1: tables opened from now on are only read, and
//                     opening repairs nothing in them.
//   code4singleOpen   1: a file already open under the handle is not opened
//                     again; 0 (what the program sets): it may be, and other
//                     programs may hold it open too.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace xbase {
class Env;
}

struct CODE4;
struct DATA4;
struct FIELD4;
struct INDEX4;
struct TAG4;

using CodeHandle = CODE4*;
using DbfHandle = DATA4*;
using FieldHandle = FIELD4*;
using IndexHandle = INDEX4*;
using TagHandle = TAG4*;

// One field of d4fieldInfo's array; the array ends with a null name. Given
// to d4create while it is not freed, the array (or an array holding the
// same) makes a table laid out exactly like the one it came from: flavour,
// code page and memo file included; any other array a dBASE III table.
struct FIELD4INFO {
  const char* name;
  int16_t type;
  uint16_t len;
  uint16_t dec;
  uint16_t nulls;
};

// One tag of i4tagInfo's array; the array ends with a null name. An array
// handed out by i4tagInfo (or one holding the same), while not freed, also
// carries the template tag's key type, length and collation to d4create,
// which needs them to copy the tag exactly.
struct TAG4INFO {
  const char* name;
  const char* expression;
  const char* filter;
  int16_t unique;
  uint16_t descending;
};

constexpr int r4success = 0;
// f4assign: the number does not fit the field, which now holds the form's
// overflow marks (asterisks). The caller knows the record and says which.
constexpr int r4overflow = 70;

// Where every CodeHandle created afterwards reports (lines without end of
// line); standard error until set.
void code4setReport(std::function<void(const std::string&)> report);

CodeHandle code4initP();
int code4initUndoP(CodeHandle code);
int code4singleOpen(CodeHandle code, int value);
int code4readOnly(CodeHandle code, int value);
int code4safety(CodeHandle code, int value);
int code4errFieldName(CodeHandle code, int value);
int code4errOpen(CodeHandle code, int value);
int code4close(CodeHandle code);
// The table whose production index gives the tags of an index rebuilt on
// open; empty: none (a missing or damaged index is then only reported).
void code4indexTemplate(CodeHandle code, const char* template_path);
// Asked while waiting for a lock or between open attempts; true ends the
// wait and the call fails.
void code4setCancel(CodeHandle code, std::function<bool()> cancelled);
int code4cancelled(CodeHandle code);
// The files and clock tables opened under the handle from now on use
// (null: the system's); it must outlive them. For tests that move time or
// make a write fail.
void code4setEnv(CodeHandle code, xbase::Env* env);

DbfHandle d4open(CodeHandle code, const char* path);
DbfHandle d4create(CodeHandle code, const char* path, const FIELD4INFO* fields, const TAG4INFO* tags);
FIELD4INFO* d4fieldInfo(DbfHandle data);
IndexHandle d4index(DbfHandle data, const char* name);
TAG4INFO* i4tagInfo(IndexHandle index);
void u4freeDefault(void* pointer);
int d4appendBlank(DbfHandle data);
FieldHandle d4field(DbfHandle data, const char* name);
int f4type(FieldHandle field);
int f4assign(FieldHandle field, const char* text);
int f4memoAssign(FieldHandle field, const char* text);
long d4recNo(DbfHandle data);
TagHandle d4tag(DbfHandle data, const char* name);
void d4tagSelectP(DbfHandle data, TagHandle tag);
int d4close(DbfHandle data);

// Writes the current record and its memo to the files now (an error when
// either can't be stored), and its index keys when the index has not been
// written for a second.
int d4flush(DbfHandle data);
// How many times records appended to the table could not be written (see
// xbase::Table::failed_writes): unchanged since a record's append and a
// successful d4flush, the record is in the file under its number.
unsigned d4writeFailures(DbfHandle data);
// Rebuilds the production index from the table: the tags of its own index
// when that reads, else those of the index template. An error when there
// are no tags to build or the index can't be written.
int d4reindex(DbfHandle data);
// 1 when `path` exists and holds no complete table header (0 bytes, or
// cut inside the header): such a file holds no records. 0 otherwise.
int d4headerMissing(const char* path);
// For a file d4headerMissing names that is not empty, and so may hold
// records a legacy program could still read: keeps it whole beside it
// (path + ".damaged", numbered when that name is taken) and, when its field
// descriptors are the template's (only its header length or count was hit),
// puts the template's header over the records it holds, where the layout
// says they are (a torn last record kept in path + ".torn"): the file is
// whole again with its record numbers unchanged. A file not laid out like
// the template (another table, a text) is moved aside with its memo and
// index files. One report line either way. Returns the number of records
// salvaged (the file is whole again); -1 when the file must now be created
// from the template (missing, empty, or moved aside); -2 when nothing could
// be done (no template, a write failed): the file is left as it is.
long d4salvage(CodeHandle code, const char* path, const char* template_path);

// Removes the table at `path` with its memo and index files when it holds
// no record (its header counts none and the file holds no more), checked
// and removed under the table's append lock; false when it holds records,
// another program holds that lock, or it can't be removed.
bool d4removeIfEmpty(const char* path);
// Takes back the record appended last, as if it had never been appended:
// the record count, the memo file and the index tags go back to what they
// were, and the next append reuses its number. Each call takes back the
// latest append of this handle not taken back yet; a record another program
// has appended after it stays, and it is marked deleted instead.
int d4appendUndo(DbfHandle data);

// Reading back, for checks and tools: go to a record, read a field as text.
int d4go(DbfHandle data, long record);
long d4recCount(DbfHandle data);
// 1 when the current record is marked deleted (taken back where it could
// not be removed), else 0.
int d4deleted(DbfHandle data);
std::string f4str(FieldHandle field);
