// Run-time binding of the ODBC driver manager.
//
// The program never links against the driver manager: every connection object
// loads the library by name and looks up the entry points of EntryList.inc, so a
// machine without ODBC still starts the service (its cycles then fail to
// connect). Types and constants come from the standard ODBC headers.
//
// The table is process-wide and written only while a connection object is
// being constructed; each construction loads the library once more and each
// destruction releases it once. A library that was bound completely is also
// held once more for the rest of the process, so it is never unloaded and
// loaded again between cycles.
#pragma once

#include <string>

#include "odbc/SqlHeaders.h"
#include "platform/System.h"

namespace tidewell {

// One entry per driver-manager function, named and typed as the standard
// declares it; only the 8-bit (ANSI) entry points are used.
struct TOdbcEntries {
#define TIDEWELL_ODBC_ENTRY(name) decltype(&::name) name = nullptr;
#include "odbc/EntryList.inc"
#undef TIDEWELL_ODBC_ENTRY
};

// Counted from the list itself, so it can't fall behind an added entry.
inline constexpr int OdbcEntryCount = 0
#define TIDEWELL_ODBC_ENTRY(name) +1
#include "odbc/EntryList.inc"
#undef TIDEWELL_ODBC_ENTRY
    ;

extern TOdbcEntries Odbc;
extern platform::TLibraryHandle DriverManagerHandle;

// File name the driver manager is loaded by. Fixed per platform at build
// time; tests point it at stand-in libraries.
extern std::string DriverManagerLibrary;

// Loads the driver manager and binds every entry of the list. False when the library
// is missing or lacks any one export; in the latter case the library is
// released again. The table is only replaced when every export was found:
// a half-bound table would point into a library that was just unloaded while
// other connection objects may still call through it.
bool BindDriverManager();

// Releases one load of the driver manager: the handle that the caller's own
// BindDriverManager returned in DriverManagerHandle.
void ReleaseDriverManager(platform::TLibraryHandle handle);

}  // namespace tidewell
