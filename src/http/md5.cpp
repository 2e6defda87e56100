#include "http/md5.h"

#include <openssl/evp.h>

namespace zandrel::http {

struct Md5::Impl {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~Impl() { EVP_MD_CTX_free(ctx); }
};

Md5::Md5() : impl_(std::make_unique<Impl>()) { EVP_DigestInit_ex(impl_->ctx, EVP_md5(), nullptr); }
Md5::~Md5() = default;

void Md5::update(const void* data, std::size_t len) {
  if (len) EVP_DigestUpdate(impl_->ctx, data, len);
}

std::string Md5::hex_upper() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_DigestFinal_ex(impl_->ctx, digest, &n);
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned i = 0; i < n; ++i) {
    out += kDigits[digest[i] >> 4];
    out += kDigits[digest[i] & 15];
  }
  return out;
}

std::string md5_hex_upper(const void* data, std::size_t len) {
  Md5 md5;
  md5.update(data, len);
  return md5.hex_upper();
}

}  // namespace zandrel::http
