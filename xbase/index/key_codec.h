// Key encodings of the two index formats.
//
// FoxPro compound indexes store numeric and date keys as an 8-byte IEEE
// double, big-endian, transformed so that plain byte comparison orders them
// like numbers: a positive value (sign bit clear) gets its sign bit set, a
// negative one has every bit inverted. Dates are their Julian day number.
//
// dBASE IV production indexes store numeric keys as 12 bytes of packed
// decimal (see EncodeBcd) and date keys as the Julian day number in a
// little-endian double.
//
// Inside the engine every key is kept in the FoxPro form above, since it
// sorts by memcmp; the .mdx code converts on the way to and from the file.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace xbase::index {

std::string SortableDouble(double value);           // 8 bytes
double FromSortableDouble(const std::string& key);  // key.size() must be 8

//  byte 0      0x34 + decimal exponent: value = 0.d1d2d3... * 10^exponent
//  byte 1      bit 7: negative; bits 2-6: count of significant digits
//  bytes 2-11  the digits, two per byte, high nibble first, zero padded
// Zero is 34 00 followed by zero digits.
std::array<uint8_t, 12> EncodeBcd(double value);
std::optional<double> DecodeBcd(const uint8_t* bytes);

}  // namespace xbase::index
