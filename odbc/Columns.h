// Descriptions of the columns of a statement's current result, and the value
// kinds the statement reads them as.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "odbc/SqlHeaders.h"

namespace tidewell {

// A zero-terminated text buffer that the driver fills at each fetch.
using TodBytes = std::vector<char>;

enum TodDataKind : std::uint8_t {
  odUnknown = 0,
  odString = 1,
  odInteger = 2,
  odFloat = 3,
  odBoolean = 4,
  odDate = 5,
  odTime = 6,
  odDateTime = 7,
  odMemo = 8,
};

// Value kind of an ODBC SQL data type; odUnknown for types the layer does
// not read (binary, wide long text, intervals, GUIDs...).
TodDataKind DataKindOf(SQLSMALLINT sqlType);

inline constexpr std::size_t MaxColumnName = 128;

struct TColInfo {
  // ASCII letters upper-cased, at most MaxColumnName characters.
  std::string Name;
  TodDataKind DataKind = odUnknown;
  // Display size (or column size) as the driver described it; 0 for a kind
  // the layer does not read.
  std::int32_t Size = 0;
  // Length/indicator cell of a bound column, written by the driver at each
  // fetch. Records never move once added, so the driver may keep its address.
  SQLLEN Indicator = 0;
};

// Owns one record per result column, entry 0 for column 1.
class TColInfoList {
 public:
  // Adds a record; returns its index.
  int AddColumn(const std::string& Name, TodDataKind Kind, std::int32_t Size);
  void Clear() { FItems.clear(); }
  int Count() const { return static_cast<int>(FItems.size()); }
  TColInfo& operator[](int index) { return *FItems[static_cast<std::size_t>(index)]; }
  const TColInfo& operator[](int index) const { return *FItems[static_cast<std::size_t>(index)]; }

 private:
  std::vector<std::unique_ptr<TColInfo>> FItems;
};

}  // namespace tidewell
