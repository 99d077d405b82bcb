// Message digests through Windows' own CNG (bcrypt.dll).
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <array>

#include "base/errors.h"
#include "base/hex.h"
#include "base/platform.h"

namespace quillex::platform {

struct Hasher::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ULONG length = 0;
  ~State() {
    if (hash != nullptr) ::BCryptDestroyHash(hash);
    if (algorithm != nullptr) ::BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

namespace {

LPCWSTR AlgorithmOf(HashKind kind) {
  switch (kind) {
    case HashKind::Md5:
      return BCRYPT_MD5_ALGORITHM;
    case HashKind::Sha1:
      return BCRYPT_SHA1_ALGORITHM;
    case HashKind::Sha256:
      break;
  }
  return BCRYPT_SHA256_ALGORITHM;
}

bool Succeeded(NTSTATUS status) { return status >= 0; }

constexpr std::array<std::uint8_t, 65536> kZeros{};

}  // namespace

Hasher::Hasher(HashKind kind) : state_(std::make_unique<State>()) {
  ULONG got = 0;
  if (!Succeeded(::BCryptOpenAlgorithmProvider(&state_->algorithm, AlgorithmOf(kind), nullptr, 0)) ||
      !Succeeded(::BCryptGetProperty(state_->algorithm, BCRYPT_HASH_LENGTH,
                                     reinterpret_cast<PUCHAR>(&state_->length), sizeof state_->length, &got, 0)) ||
      !Succeeded(::BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0))) {
    throw IoFailure("cannot start a message digest: CNG refused it");
  }
}

Hasher::Hasher(Hasher&& other) noexcept = default;
Hasher& Hasher::operator=(Hasher&& other) noexcept = default;
Hasher::~Hasher() = default;

void Hasher::Update(const void* data, std::size_t size) {
  // One call takes at most a ULONG's worth; zeros come from a block of them.
  while (size > 0) {
    const std::size_t limit = data == nullptr ? kZeros.size() : std::size_t{1} << 30;
    const std::size_t piece = size < limit ? size : limit;
    const void* from = data != nullptr ? data : kZeros.data();
    if (!Succeeded(::BCryptHashData(state_->hash, static_cast<PUCHAR>(const_cast<void*>(from)),
                                    static_cast<ULONG>(piece), 0))) {
      throw IoFailure("cannot hash: CNG refused the data");
    }
    size -= piece;
    if (data != nullptr) data = static_cast<const std::uint8_t*>(data) + piece;
  }
}

std::string Hasher::HexDigest() {
  std::array<std::uint8_t, 64> digest{};
  if (state_->length > digest.size() ||
      !Succeeded(::BCryptFinishHash(state_->hash, digest.data(), state_->length, 0))) {
    throw IoFailure("cannot finish a message digest: CNG refused it");
  }
  return LowerHex(digest.data(), state_->length);
}

}  // namespace quillex::platform
