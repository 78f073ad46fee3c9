#include "odbc/Binding.h"

namespace tidewell {

TOdbcEntries Odbc;
platform::TLibraryHandle DriverManagerHandle = nullptr;
std::string DriverManagerLibrary = TIDEWELL_ODBC_LIBRARY;

bool BindDriverManager() {
  DriverManagerHandle = platform::LoadLibrary(DriverManagerLibrary);
  if (!DriverManagerHandle) return false;

  // Names are looked up in table order and the first missing one ends the
  // binding; the later names are not looked up.
  TOdbcEntries bound;
  bool complete = true;
#define TIDEWELL_ODBC_ENTRY(name)                                                                    \
  if (complete) {                                                                                     \
    void* address = platform::GetProcAddress(DriverManagerHandle, #name);                             \
    if (address)                                                                                      \
      bound.name = reinterpret_cast<decltype(bound.name)>(address);                                     \
    else                                                                                              \
      complete = false;                                                                               \
  }
#include "odbc/EntryList.inc"
#undef TIDEWELL_ODBC_ENTRY

  if (!complete) {
    platform::FreeLibrary(DriverManagerHandle);
    DriverManagerHandle = nullptr;
    return false;
  }
  Odbc = bound;
  return true;
}

void ReleaseDriverManager(platform::TLibraryHandle handle) { platform::FreeLibrary(handle); }

}  // namespace tidewell
