// Little- and big-endian integers in index files, read from spans that the
// caller has already checked to be long enough. The engine's one set of
// byte-order helpers (xbase/byte_order.h) under the short names the index
// code reads with; the Put* writers are found there by name lookup.
#pragma once

#include "xbase/byte_order.h"

namespace xbase::index {

inline uint16_t Le16(const uint8_t* p) { return GetLe16(p); }
inline uint32_t Le32(const uint8_t* p) { return GetLe32(p); }
inline uint32_t Be32(const uint8_t* p) { return GetBe32(p); }

}  // namespace xbase::index
