// Message digests through OpenSSL's libcrypto.
#include <openssl/evp.h>

#include <array>

#include "base/errors.h"
#include "base/hex.h"
#include "base/platform.h"

namespace quillex::platform {

struct Hasher::State {
  EVP_MD_CTX* context = nullptr;
  ~State() { EVP_MD_CTX_free(context); }
};

namespace {

const EVP_MD* Digest(HashKind kind) {
  switch (kind) {
    case HashKind::Md5:
      return EVP_md5();
    case HashKind::Sha1:
      return EVP_sha1();
    case HashKind::Sha256:
      break;
  }
  return EVP_sha256();
}

constexpr std::array<std::uint8_t, 65536> kZeros{};

}  // namespace

Hasher::Hasher(HashKind kind) : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  if (state_->context == nullptr || EVP_DigestInit_ex(state_->context, Digest(kind), nullptr) != 1) {
    throw IoFailure("cannot start a message digest: libcrypto refused it");
  }
}

Hasher::Hasher(Hasher&& other) noexcept = default;
Hasher& Hasher::operator=(Hasher&& other) noexcept = default;
Hasher::~Hasher() = default;

void Hasher::Update(const void* data, std::size_t size) {
  while (data == nullptr && size > kZeros.size()) {
    Update(kZeros.data(), kZeros.size());
    size -= kZeros.size();
  }
  if (EVP_DigestUpdate(state_->context, data != nullptr ? data : kZeros.data(), size) != 1) {
    throw IoFailure("cannot hash: libcrypto refused the data");
  }
}

std::string Hasher::HexDigest() {
  std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(state_->context, digest.data(), &length) != 1) {
    throw IoFailure("cannot finish a message digest: libcrypto refused it");
  }
  return LowerHex(digest.data(), length);
}

}  // namespace quillex::platform
