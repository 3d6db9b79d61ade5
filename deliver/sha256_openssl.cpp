// SHA-256 through OpenSSL's EVP digest interface (libcrypto).

#include <openssl/evp.h>

#include "sha256.h"

namespace {
EVP_MD_CTX* CONTEXT(void* state) { return static_cast<EVP_MD_CTX*>(state); }
}  // namespace

Sha256::Sha256() {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context == nullptr) return;
  if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(context);
    return;
  }
  state_ = context;
}

Sha256::~Sha256() { EVP_MD_CTX_free(CONTEXT(state_)); }

bool Sha256::ADD(std::span<const unsigned char> data) {
  return state_ != nullptr &&
         EVP_DigestUpdate(CONTEXT(state_), data.data(), data.size()) == 1;
}

bool Sha256::FINISH(Sha256Digest& digest) {
  unsigned int length = 0;
  return state_ != nullptr &&
         EVP_DigestFinal_ex(CONTEXT(state_), digest.data(), &length) == 1 &&
         length == digest.size();
}
