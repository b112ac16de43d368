// Little-endian integers at any address, as every serialised bag stores them.
// On a little-endian host a value is one unaligned load or store; elsewhere it
// is put together byte by byte, so the layout never depends on the host.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace replikon::detail {

template <class U>
[[gnu::always_inline]] inline U LoadLittle(const std::uint8_t* p) noexcept {
  U v = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&v, p, sizeof v);
  } else {
    for (std::size_t i = sizeof v; i-- > 0;) v = static_cast<U>((v << 8) | p[i]);
  }
  return v;
}

template <class U>
[[gnu::always_inline]] inline std::uint8_t* StoreLittle(std::uint8_t* p, U v) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, sizeof v);
  } else {
    for (std::size_t i = 0; i < sizeof v; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  return p + sizeof v;
}

// The widths the layouts use, by name. A store returns the byte after it.
[[gnu::always_inline]] inline std::uint16_t LoadU16(const std::uint8_t* p) noexcept {
  return LoadLittle<std::uint16_t>(p);
}
[[gnu::always_inline]] inline std::uint32_t LoadU32(const std::uint8_t* p) noexcept {
  return LoadLittle<std::uint32_t>(p);
}
[[gnu::always_inline]] inline std::uint64_t LoadU64(const std::uint8_t* p) noexcept {
  return LoadLittle<std::uint64_t>(p);
}
[[gnu::always_inline]] inline std::uint8_t* StoreU16(std::uint8_t* p, std::uint16_t v) noexcept {
  return StoreLittle(p, v);
}
[[gnu::always_inline]] inline std::uint8_t* StoreU32(std::uint8_t* p, std::uint32_t v) noexcept {
  return StoreLittle(p, v);
}
[[gnu::always_inline]] inline std::uint8_t* StoreU64(std::uint8_t* p, std::uint64_t v) noexcept {
  return StoreLittle(p, v);
}

}  // namespace replikon::detail
