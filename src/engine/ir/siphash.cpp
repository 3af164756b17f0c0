// SipHash rounds, message words and finalization.
#include "siphash.h"

#include <bit>

namespace bmx {

template <int C, int D>
SipHasher<C, D>::SipHasher(std::uint64_t k0, std::uint64_t k1)
    : v0_(k0 ^ 0x736f6d6570736575ULL),
      v1_(k1 ^ 0x646f72616e646f6dULL),
      v2_(k0 ^ 0x6c7967656e657261ULL),
      v3_(k1 ^ 0x7465646279746573ULL) {}

template <int C, int D>
void SipHasher<C, D>::round() {
  v0_ += v1_;
  v1_ = std::rotl(v1_, 13);
  v1_ ^= v0_;
  v0_ = std::rotl(v0_, 32);
  v2_ += v3_;
  v3_ = std::rotl(v3_, 16);
  v3_ ^= v2_;
  v0_ += v3_;
  v3_ = std::rotl(v3_, 21);
  v3_ ^= v0_;
  v2_ += v1_;
  v1_ = std::rotl(v1_, 17);
  v1_ ^= v2_;
  v2_ = std::rotl(v2_, 32);
}

template <int C, int D>
void SipHasher<C, D>::compress(std::uint64_t message_word) {
  v3_ ^= message_word;
  for (int i = 0; i < C; ++i) round();
  v0_ ^= message_word;
}

template <int C, int D>
void SipHasher<C, D>::write(std::span<const std::uint8_t> bytes) {
  total_length_ += bytes.size();
  for (const std::uint8_t byte : bytes) {
    tail_ |= std::uint64_t{byte} << (8 * tail_length_);
    if (++tail_length_ == 8) {
      compress(tail_);
      tail_ = 0;
      tail_length_ = 0;
    }
  }
}

template <int C, int D>
void SipHasher<C, D>::write_u64(std::uint64_t word) {
  if (tail_length_ == 0) {
    total_length_ += 8;
    compress(word);
    return;
  }
  std::uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(word >> (8 * i));
  write(bytes);
}

template <int C, int D>
std::uint64_t SipHasher<C, D>::finish() {
  // The last word carries the leftover bytes and, in its top byte, the total
  // length modulo 256.
  compress(tail_ | (total_length_ << 56));
  v2_ ^= 0xff;
  for (int i = 0; i < D; ++i) round();
  return v0_ ^ v1_ ^ v2_ ^ v3_;
}

template class SipHasher<1, 3>;
// The paper's own variant, which its published test vectors cover; the two
// share every line above.
template class SipHasher<2, 4>;

std::uint64_t siphash13(std::span<const std::uint8_t> bytes, std::uint64_t k0, std::uint64_t k1) {
  SipHasher13 hasher(k0, k1);
  hasher.write(bytes);
  return hasher.finish();
}

}  // namespace bmx
