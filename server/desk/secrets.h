// Passwords, session ids and API tokens: scrypt for passwords (a per-user
// random salt, the cost stored with the hash), random tokens from the
// system's generator, SHA-256 for what is stored of a token.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zandrel::desk {

struct ScryptCost {
  uint64_t n = 1u << 15;  // CPU and memory cost (a power of two): 32 MiB with r = 8
  uint32_t r = 8, p = 1;
};

// "scrypt$N$r$p$SALT$KEY" with salt and key in hex; nullopt when the
// system's generator or the KDF fails.
std::optional<std::string> HashPassword(std::string_view password, const ScryptCost& cost = {});
// True when password gives the stored hash (with the cost stored in it). A
// malformed hash, or a cost beyond what the desk would ever choose, matches
// nothing.
bool VerifyPassword(std::string_view password, std::string_view stored);

// bytes random bytes from the system's generator, as lower-case hex; empty
// when the generator fails.
std::string RandomHex(std::size_t bytes);
// SHA-256 of text, lower-case hex.
std::string Sha256Hex(std::string_view text);
// Equal texts, compared in time independent of where they differ.
bool SameSecret(std::string_view a, std::string_view b);

}  // namespace zandrel::desk
