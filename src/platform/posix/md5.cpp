// MD5 from OpenSSL's libcrypto.
#include "platform/md5.h"

#include <openssl/evp.h>

namespace zandrel::platform {

struct Md5::Impl {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) == 1;
  bool finished = false;
  ~Impl() { EVP_MD_CTX_free(ctx); }
};

Md5::Md5() : impl_(std::make_unique<Impl>()) {}
Md5::~Md5() = default;

void Md5::update(const void* data, std::size_t len) {
  if (len && impl_->ok && !impl_->finished) impl_->ok = EVP_DigestUpdate(impl_->ctx, data, len) == 1;
}

bool Md5::finish(std::array<uint8_t, 16>& digest) {
  if (!impl_->ok || impl_->finished) return false;
  impl_->finished = true;
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_DigestFinal_ex(impl_->ctx, out, &n) != 1 || n != digest.size()) return false;
  for (unsigned i = 0; i < n; ++i) digest[i] = out[i];
  return true;
}

}  // namespace zandrel::platform
