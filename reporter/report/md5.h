// MD5 message digest (RFC 1321), our own: the crash ID is the digest of the frame signature. A CMd5
// owns its running state and copies what Update is given; nothing can fail.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvor {

typedef std::array<uint8_t, 16> Md5Digest;

// Incremental MD5: Update any number of times, then Final once.
class CMd5 {
 public:
  CMd5();
  void Update(const void* data, size_t size);
  Md5Digest Final();

 private:
  void Transform(const uint8_t block[64]);
  uint32_t state_[4];
  uint64_t bitCount_ = 0;
  uint8_t buffer_[64];
  size_t buffered_ = 0;
};

Md5Digest ComputeMd5(const void* data, size_t size);
inline Md5Digest ComputeMd5(const std::string& bytes) { return ComputeMd5(bytes.data(), bytes.size()); }

}  // namespace kelvor
