// SipHash-1-3: a keyed 64-bit hash, fed incrementally.
//
// SipHash after Aumasson and Bernstein, "SipHash: a fast short-input PRF"
// (2012), with one compression round per message word and three finalization
// rounds instead of the paper's two and four.
#pragma once

#include <cstdint>
#include <span>

namespace bmx {

/// Hashes the concatenation of everything written; splitting the input
/// across calls of write() does not change the result. A plain value: one
/// instance per hash, used by one thread at a time.
template <int CompressionRounds, int FinalizationRounds>
class SipHasher {
 public:
  /// The 128-bit key as two 64-bit halves (k0 holds the key's first 8 bytes
  /// read little-endian).
  explicit SipHasher(std::uint64_t k0 = 0, std::uint64_t k1 = 0);

  void write(std::span<const std::uint8_t> bytes);
  /// The eight little-endian bytes of `word`.
  void write_u64(std::uint64_t word);

  /// The hash of all bytes written so far; the hasher must not be used after.
  std::uint64_t finish();

 private:
  void compress(std::uint64_t message_word);
  void round();

  std::uint64_t v0_, v1_, v2_, v3_;
  std::uint64_t total_length_ = 0;
  /// Bytes of the current, unfinished message word, little-endian.
  std::uint64_t tail_ = 0;
  int tail_length_ = 0;
};

extern template class SipHasher<1, 3>;
extern template class SipHasher<2, 4>;

using SipHasher13 = SipHasher<1, 3>;

/// SipHash-1-3 of `bytes` under the key (k0, k1).
std::uint64_t siphash13(std::span<const std::uint8_t> bytes, std::uint64_t k0 = 0, std::uint64_t k1 = 0);

}  // namespace bmx
