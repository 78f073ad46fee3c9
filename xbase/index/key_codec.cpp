#include "xbase/index/key_codec.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace xbase::index {

std::string SortableDouble(double value) {
  if (value == 0 || !std::isfinite(value)) value = 0;  // -0 and +0 are one key
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  if (bits >> 63) bits = ~bits;
  else bits |= uint64_t{1} << 63;
  std::string key(8, '\0');
  for (int i = 0; i < 8; ++i) key[static_cast<size_t>(i)] = static_cast<char>(bits >> (8 * (7 - i)));
  return key;
}

double FromSortableDouble(const std::string& key) {
  uint64_t bits = 0;
  for (size_t i = 0; i < 8 && i < key.size(); ++i) bits = (bits << 8) | static_cast<uint8_t>(key[i]);
  if (bits >> 63) bits &= ~(uint64_t{1} << 63);
  else bits = ~bits;
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::array<uint8_t, 12> EncodeBcd(double value) {
  std::array<uint8_t, 12> out{};
  out[0] = 0x34;
  if (value == 0 || !std::isfinite(value)) return out;
  // Fifteen significant digits: what a double holds faithfully, so that
  // decoding and encoding again gives the same bytes.
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.14e", std::fabs(value));  // d.dddddddddddddde+XX
  char digits[15];
  digits[0] = buf[0];
  std::memcpy(digits + 1, buf + 2, 14);
  size_t count = 15;
  while (count > 1 && digits[count - 1] == '0') --count;
  int exponent = std::atoi(std::strchr(buf, 'e') + 1) + 1;
  if (exponent < -52 || exponent > 200) return out;  // outside what the byte can hold: stored as zero
  out[0] = static_cast<uint8_t>(0x34 + exponent);
  out[1] = static_cast<uint8_t>((count << 2) | (value < 0 ? 0x80 : 0));
  for (size_t i = 0; i < count; ++i) {
    uint8_t d = static_cast<uint8_t>(digits[i] - '0');
    out[2 + i / 2] |= (i % 2 == 0) ? static_cast<uint8_t>(d << 4) : d;
  }
  return out;
}

std::optional<double> DecodeBcd(const uint8_t* b) {
  int count = (b[1] >> 2) & 0x1F;
  if (count > 20) return std::nullopt;
  if (count == 0) return 0.0;
  char text[48];
  size_t n = 0;
  text[n++] = '0';
  text[n++] = '.';
  for (int i = 0; i < count; ++i) {
    uint8_t byte = b[2 + i / 2];
    int d = (i % 2 == 0) ? byte >> 4 : byte & 0x0F;
    if (d > 9) return std::nullopt;
    text[n++] = static_cast<char>('0' + d);
  }
  std::snprintf(text + n, sizeof text - n, "e%d", static_cast<int>(b[0]) - 0x34);
  double v = std::strtod(text, nullptr);
  return (b[1] & 0x80) ? -v : v;
}

}  // namespace xbase::index
