// MD5 from the Windows cryptography API (CNG).
#include "platform/md5.h"

#include <windows.h>
#include <bcrypt.h>

#include <vector>

namespace zandrel::platform {
namespace {

// The algorithm provider is opened once for the process and closed at exit.
struct Md5Provider {
  BCRYPT_ALG_HANDLE alg = nullptr;
  DWORD objectLength = 0;
  Md5Provider() {
    if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_MD5_ALGORITHM, nullptr, 0) != 0) {
      alg = nullptr;
      return;
    }
    ULONG got = 0;
    if (BCryptGetProperty(alg, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength), sizeof objectLength,
                          &got, 0) != 0) {
      objectLength = 0;
    }
  }
  ~Md5Provider() {
    if (alg) BCryptCloseAlgorithmProvider(alg, 0);
  }
};

const Md5Provider& Provider() {
  static const Md5Provider provider;
  return provider;
}

}  // namespace

struct Md5::Impl {
  std::vector<UCHAR> object;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = false;
  bool finished = false;
  Impl() {
    const Md5Provider& p = Provider();
    if (!p.alg || p.objectLength == 0) return;
    object.resize(p.objectLength);
    ok = BCryptCreateHash(p.alg, &hash, object.data(), static_cast<ULONG>(object.size()), nullptr, 0, 0) == 0;
    if (!ok) hash = nullptr;
  }
  ~Impl() {
    if (hash) BCryptDestroyHash(hash);
  }
};

Md5::Md5() : impl_(std::make_unique<Impl>()) {}
Md5::~Md5() = default;

void Md5::update(const void* data, std::size_t len) {
  auto* p = static_cast<const UCHAR*>(data);
  while (len > 0 && impl_->ok && !impl_->finished) {
    // The API takes at most a ULONG per call.
    ULONG piece = len > 0x40000000u ? 0x40000000u : static_cast<ULONG>(len);
    impl_->ok = BCryptHashData(impl_->hash, const_cast<PUCHAR>(p), piece, 0) == 0;
    p += piece;
    len -= piece;
  }
}

bool Md5::finish(std::array<uint8_t, 16>& digest) {
  if (!impl_->ok || impl_->finished) return false;
  impl_->finished = true;
  return BCryptFinishHash(impl_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0) == 0;
}

}  // namespace zandrel::platform
