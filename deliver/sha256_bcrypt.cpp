// SHA-256 through Windows' Cryptography API: Next Generation (bcrypt.dll, a
// system library since Vista).

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: bcrypt.h uses its types.
#include <bcrypt.h>

#include <algorithm>

#include "sha256.h"

namespace {
BCRYPT_ALG_HANDLE ALGORITHM(void* handle) { return handle; }
BCRYPT_HASH_HANDLE HASH(void* handle) { return handle; }
bool SUCCEEDED_(NTSTATUS status) { return status >= 0; }
}  // namespace

Sha256::Sha256() {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!SUCCEEDED_(BCryptOpenAlgorithmProvider(
          &algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
    return;
  algorithm_ = algorithm;
  // No object buffer: BCrypt allocates the hash object itself (Windows 7
  // and later).
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!SUCCEEDED_(
          BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)))
    return;
  state_ = hash;
}

Sha256::~Sha256() {
  // Freeing handles reports nothing worth acting on at this point.
  if (state_ != nullptr) BCryptDestroyHash(HASH(state_));
  if (algorithm_ != nullptr)
    BCryptCloseAlgorithmProvider(ALGORITHM(algorithm_), 0);
}

bool Sha256::ADD(std::span<const unsigned char> data) {
  if (state_ == nullptr) return false;
  // BCryptHashData takes a ULONG length: a larger span goes in pieces.
  constexpr std::size_t MOST_AT_ONCE = 1u << 30;
  while (!data.empty()) {
    const std::size_t piece = std::min(data.size(), MOST_AT_ONCE);
    // BCrypt only reads the input, but its parameter is not const.
    auto* bytes = const_cast<unsigned char*>(data.data());
    if (!SUCCEEDED_(
            BCryptHashData(HASH(state_), bytes, static_cast<ULONG>(piece), 0)))
      return false;
    data = data.subspan(piece);
  }
  return true;
}

bool Sha256::FINISH(Sha256Digest& digest) {
  return state_ != nullptr &&
         SUCCEEDED_(BCryptFinishHash(HASH(state_), digest.data(),
                                     static_cast<ULONG>(digest.size()), 0));
}
