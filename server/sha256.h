// SHA-256 (FIPS 180-4), used for the salted password hashes of the accounts file.
//
// Threads: a Sha256 object belongs to one thread; the free functions are pure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

class Sha256 {
 public:
  using Digest = std::array<std::uint8_t, 32>;

  Sha256() { reset(); }

  // Adds bytes to the message being hashed; may be called any number of times.
  void update(std::string_view bytes);
  // The digest of everything added since construction or the last finish(); the object is
  // then ready for a new message.
  Digest finish();
  void reset();

 private:
  void compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_{};
  std::array<std::uint8_t, 64> block_{};
  std::size_t blockUsed_ = 0;
  std::uint64_t totalBytes_ = 0;
};

Sha256::Digest sha256(std::string_view bytes);

// Lower-case hexadecimal, two digits a byte.
std::string toHex(std::span<const std::uint8_t> bytes);
