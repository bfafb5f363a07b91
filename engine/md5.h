#pragma once
// MD5 message digest (RFC 1321), the system's own code.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zelvo {

class Md5 {
public:
  Md5();
  void Update(const void* data, std::size_t length);
  // Pads, appends the bit length and returns the 16-byte digest; the object is spent afterwards.
  std::array<std::uint8_t, 16> Final();

private:
  void Transform(const std::uint8_t block[64]);
  std::uint32_t state_[4];
  std::uint64_t bitCount_ = 0;
  std::uint8_t buffer_[64];
};

// The digest of the text's bytes as 32 lower-case hexadecimal digits ("%02x" per byte in order).
std::string MD5Hex(const std::string& text);

} // namespace zelvo
