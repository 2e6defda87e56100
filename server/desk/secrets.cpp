#include "server/desk/secrets.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <charconv>
#include <vector>

namespace zandrel::desk {
namespace {

constexpr std::size_t kSaltBytes = 16, kKeyBytes = 32;
constexpr uint64_t kMaxN = 1u << 20;
constexpr uint32_t kMaxR = 32, kMaxP = 16;

std::string Hex(const unsigned char* data, std::size_t len) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(len * 2);
  for (std::size_t i = 0; i < len; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

std::optional<std::vector<unsigned char>> Unhex(std::string_view text) {
  if (text.empty() || text.size() % 2) return std::nullopt;
  std::vector<unsigned char> out(text.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    unsigned v = 0;
    auto r = std::from_chars(text.data() + 2 * i, text.data() + 2 * i + 2, v, 16);
    if (r.ec != std::errc() || r.ptr != text.data() + 2 * i + 2) return std::nullopt;
    out[i] = static_cast<unsigned char>(v);
  }
  return out;
}

bool Scrypt(std::string_view password, const std::vector<unsigned char>& salt, const ScryptCost& cost,
            unsigned char* key, std::size_t keyLen) {
  // Room for the KDF's working memory (128 * N * r * p bytes) and a margin.
  uint64_t maxmem = 128ull * cost.n * cost.r * cost.p + (1u << 20);
  return EVP_PBE_scrypt(password.data(), password.size(), salt.data(), salt.size(), cost.n, cost.r, cost.p, maxmem,
                        key, keyLen) == 1;
}

template <class T>
bool Number(std::string_view text, T& out) {
  auto r = std::from_chars(text.data(), text.data() + text.size(), out);
  return r.ec == std::errc() && r.ptr == text.data() + text.size() && !text.empty();
}

}  // namespace

std::optional<std::string> HashPassword(std::string_view password, const ScryptCost& cost) {
  std::vector<unsigned char> salt(kSaltBytes);
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) return std::nullopt;
  unsigned char key[kKeyBytes];
  if (!Scrypt(password, salt, cost, key, sizeof key)) return std::nullopt;
  return "scrypt$" + std::to_string(cost.n) + "$" + std::to_string(cost.r) + "$" + std::to_string(cost.p) + "$" +
         Hex(salt.data(), salt.size()) + "$" + Hex(key, sizeof key);
}

bool VerifyPassword(std::string_view password, std::string_view stored) {
  std::vector<std::string_view> parts;
  while (true) {
    std::size_t d = stored.find('$');
    parts.push_back(stored.substr(0, d));
    if (d == std::string_view::npos) break;
    stored.remove_prefix(d + 1);
  }
  ScryptCost cost;
  if (parts.size() != 6 || parts[0] != "scrypt" || !Number(parts[1], cost.n) || !Number(parts[2], cost.r) ||
      !Number(parts[3], cost.p)) {
    return false;
  }
  if (cost.n < 2 || cost.n > kMaxN || (cost.n & (cost.n - 1)) || cost.r == 0 || cost.r > kMaxR || cost.p == 0 ||
      cost.p > kMaxP) {
    return false;
  }
  auto salt = Unhex(parts[4]);
  auto want = Unhex(parts[5]);
  if (!salt || !want || want->size() > 64) return false;
  std::vector<unsigned char> key(want->size());
  if (!Scrypt(password, *salt, cost, key.data(), key.size())) return false;
  return CRYPTO_memcmp(key.data(), want->data(), key.size()) == 0;
}

std::string RandomHex(std::size_t bytes) {
  std::vector<unsigned char> data(bytes);
  if (RAND_bytes(data.data(), static_cast<int>(data.size())) != 1) return {};
  return Hex(data.data(), data.size());
}

std::string Sha256Hex(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &len, EVP_sha256(), nullptr) != 1) return {};
  return Hex(digest, len);
}

bool SameSecret(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace zandrel::desk
