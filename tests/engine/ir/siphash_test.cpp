// SipHash checked against a second, deliberately plain implementation and the
// paper's published SipHash-2-4 example.
#include "ir/siphash.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace bmx {
namespace {

std::uint64_t rotate_left(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

// Straight from the paper's description: pad the message to whole words with
// zeros and the length byte, then absorb each word with c rounds and finish
// with d rounds.
std::uint64_t reference_siphash(int c, int d, const std::vector<std::uint8_t>& message, std::uint64_t k0,
                                std::uint64_t k1) {
  std::uint64_t v[4] = {k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
                        k1 ^ 0x7465646279746573ULL};
  const auto sip_round = [&v] {
    v[0] += v[1];
    v[2] += v[3];
    v[1] = rotate_left(v[1], 13);
    v[3] = rotate_left(v[3], 16);
    v[1] ^= v[0];
    v[3] ^= v[2];
    v[0] = rotate_left(v[0], 32);
    v[2] += v[1];
    v[0] += v[3];
    v[1] = rotate_left(v[1], 17);
    v[3] = rotate_left(v[3], 21);
    v[1] ^= v[2];
    v[3] ^= v[0];
    v[2] = rotate_left(v[2], 32);
  };
  std::vector<std::uint8_t> padded = message;
  while (padded.size() % 8 != 7) padded.push_back(0);
  padded.push_back(static_cast<std::uint8_t>(message.size()));
  for (std::size_t at = 0; at < padded.size(); at += 8) {
    std::uint64_t m = 0;
    for (int i = 7; i >= 0; --i) m = (m << 8) | padded[at + static_cast<std::size_t>(i)];
    v[3] ^= m;
    for (int i = 0; i < c; ++i) sip_round();
    v[0] ^= m;
  }
  v[2] ^= 0xff;
  for (int i = 0; i < d; ++i) sip_round();
  return v[0] ^ v[1] ^ v[2] ^ v[3];
}

std::vector<std::uint8_t> counting_bytes(std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i);
  return bytes;
}

constexpr std::uint64_t kPaperK0 = 0x0706050403020100ULL;
constexpr std::uint64_t kPaperK1 = 0x0f0e0d0c0b0a0908ULL;

TEST(SipHashTest, MatchesThePaperExample) {
  // Key 00 01 .. 0f, message 00 01 .. 0e.
  const std::vector<std::uint8_t> message = counting_bytes(15);
  EXPECT_EQ(reference_siphash(2, 4, message, kPaperK0, kPaperK1), 0xa129ca6149be45e5ULL);
  SipHasher<2, 4> hasher(kPaperK0, kPaperK1);
  hasher.write(message);
  EXPECT_EQ(hasher.finish(), 0xa129ca6149be45e5ULL);
}

TEST(SipHashTest, OneThreeMatchesTheReferenceForEveryTailLength) {
  std::mt19937_64 rng(7);
  for (std::size_t length = 0; length <= 70; ++length) {
    std::vector<std::uint8_t> message(length);
    for (std::uint8_t& byte : message) byte = static_cast<std::uint8_t>(rng());
    EXPECT_EQ(siphash13(message), reference_siphash(1, 3, message, 0, 0)) << length;
    EXPECT_EQ(siphash13(message, kPaperK0, kPaperK1), reference_siphash(1, 3, message, kPaperK0, kPaperK1))
        << length;
  }
}

TEST(SipHashTest, SplittingTheInputDoesNotChangeTheHash) {
  std::mt19937_64 rng(11);
  const std::vector<std::uint8_t> message = counting_bytes(300);
  const std::uint64_t whole = siphash13(message);
  for (int trial = 0; trial < 200; ++trial) {
    SipHasher13 hasher;
    std::size_t at = 0;
    while (at < message.size()) {
      // Mix byte runs with whole words written at unaligned positions.
      if (rng() % 3 == 0 && at + 8 <= message.size()) {
        std::uint64_t word = 0;
        for (int i = 7; i >= 0; --i) word = (word << 8) | message[at + static_cast<std::size_t>(i)];
        hasher.write_u64(word);
        at += 8;
      } else {
        const std::size_t run = std::min<std::size_t>(rng() % 12, message.size() - at);
        hasher.write(std::span(message).subspan(at, run));
        at += run;
      }
    }
    ASSERT_EQ(hasher.finish(), whole) << trial;
  }
}

}  // namespace
}  // namespace bmx
