// SHA-256 of a stream of bytes, from a well-kept library rather than our
// own code: OpenSSL's libcrypto on Linux (sha256_openssl.cpp), the system's
// BCrypt on Windows (sha256_bcrypt.cpp). CMake links the one that fits.
#pragma once

#include <array>
#include <span>

using Sha256Digest = std::array<unsigned char, 32>;

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // Each returns false when the library failed; the digest is then of no
  // use. A hash that could not be started fails every call.
  bool ADD(std::span<const unsigned char> data);
  bool FINISH(Sha256Digest& digest);

 private:
  void* state_ = nullptr;      // the library's context, or null
  void* algorithm_ = nullptr;  // BCrypt's algorithm handle; unused elsewhere
};
