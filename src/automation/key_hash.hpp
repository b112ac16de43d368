// Keyed hashing of bag keys. Bags are loaded from untrusted bytes, so their key
// index hashes with SipHash-1-3 under a key chosen at random once per process:
// nobody can prepare a set of keys that all land in the same slot.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace replikon::detail {

struct SipKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

// SipHash-c-d of `data` under `key` (c compression rounds, d finalisation rounds).
template <int C, int D>
std::uint64_t SipHash(const SipKey& key, std::string_view data) noexcept {
  std::uint64_t v0 = 0x736f6d6570736575ULL ^ key.k0;
  std::uint64_t v1 = 0x646f72616e646f6dULL ^ key.k1;
  std::uint64_t v2 = 0x6c7967656e657261ULL ^ key.k0;
  std::uint64_t v3 = 0x7465646279746573ULL ^ key.k1;
  auto rounds = [&](int n) {
    for (int r = 0; r < n; ++r) {
      v0 += v1;
      v1 = std::rotl(v1, 13);
      v1 ^= v0;
      v0 = std::rotl(v0, 32);
      v2 += v3;
      v3 = std::rotl(v3, 16);
      v3 ^= v2;
      v0 += v3;
      v3 = std::rotl(v3, 21);
      v3 ^= v0;
      v2 += v1;
      v1 = std::rotl(v1, 17);
      v1 ^= v2;
      v2 = std::rotl(v2, 32);
    }
  };
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t n = data.size();
  const std::size_t whole = n & ~std::size_t{7};
  for (std::size_t i = 0; i < whole; i += 8) {
    std::uint64_t m = 0;
    for (int b = 7; b >= 0; --b) m = (m << 8) | p[i + static_cast<std::size_t>(b)];
    v3 ^= m;
    rounds(C);
    v0 ^= m;
  }
  std::uint64_t last = static_cast<std::uint64_t>(n) << 56;
  for (std::size_t i = whole; i < n; ++i)
    last |= static_cast<std::uint64_t>(p[i]) << (8 * (i - whole));
  v3 ^= last;
  rounds(C);
  v0 ^= last;
  v2 ^= 0xff;
  rounds(D);
  return v0 ^ v1 ^ v2 ^ v3;
}

// The hash of a bag key under this process's random key.
std::uint64_t KeyHash(std::string_view key) noexcept;

}  // namespace replikon::detail
