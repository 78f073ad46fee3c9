#include "odbc/Binding.h"

#include <algorithm>
#include <vector>

namespace tidewell {

TOdbcEntries Odbc;
platform::TLibraryHandle DriverManagerHandle = nullptr;
std::string DriverManagerLibrary = TIDEWELL_ODBC_LIBRARY;

namespace {

// unixODBC does not free its caches when it is unloaded, so loading it anew
// for every cycle's connection and dropping it at the end leaked about 1.6 KB
// per cycle. One extra load per bound library, never released, keeps it
// mapped for the life of the process; the connection objects still take and
// release their own loads.
void PinForProcess(platform::TLibraryHandle handle) {
  static std::vector<platform::TLibraryHandle> pinned;
  if (std::find(pinned.begin(), pinned.end(), handle) != pinned.end()) return;
  if (platform::LoadDynamicLibrary(DriverManagerLibrary) == handle) pinned.push_back(handle);
}

}  // namespace

bool BindDriverManager() {
  DriverManagerHandle = platform::LoadDynamicLibrary(DriverManagerLibrary);
  if (!DriverManagerHandle) return false;

  // Names are looked up in table order and the first missing one ends the
  // binding; the later names are not looked up.
  TOdbcEntries bound;
  bool complete = true;
#define TIDEWELL_ODBC_ENTRY(name)                                                                    \
  if (complete) {                                                                                     \
    void* address = platform::GetLibrarySymbol(DriverManagerHandle, #name);                             \
    if (address)                                                                                      \
      bound.name = reinterpret_cast<decltype(bound.name)>(address);                                     \
    else                                                                                              \
      complete = false;                                                                               \
  }
#include "odbc/EntryList.inc"
#undef TIDEWELL_ODBC_ENTRY

  if (!complete) {
    platform::FreeDynamicLibrary(DriverManagerHandle);
    DriverManagerHandle = nullptr;
    return false;
  }
  Odbc = bound;
  PinForProcess(DriverManagerHandle);
  return true;
}

void ReleaseDriverManager(platform::TLibraryHandle handle) { platform::FreeDynamicLibrary(handle); }

}  // namespace tidewell
