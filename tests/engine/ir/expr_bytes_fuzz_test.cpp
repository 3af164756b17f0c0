// Mutated encodings against the decoders: bit flips, truncations, insertions,
// deletions and random bytes, from seeded generators so that a failure
// replays. Every input must either be refused with a message or decode to a
// value whose encoding is exactly that input (the layout has one encoding per
// value). Run under the sanitizers, a read past the input or a crash fails here.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "expr/expr.h"
#include "ir/expr_bytes.h"

namespace bmx {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Mutants per seed and seeds per corpus entry: about 40,000 decodes in all,
// a fraction of a second even under the sanitizers.
constexpr int kMutantsPerSeed = 200;
constexpr int kSeeds = 20;

std::vector<Bytes> expr_corpus() {
  const Expr x = make_arg("x");
  const Expr y = make_arg("\xc3\xa9t\xc3\xa9");
  const Expr c = make_const(-0.0);
  const Expr sum = binary_expr(BinaryOp::Add, binary_expr(BinaryOp::Mul, x, make_const(2.5)), y);
  return {
      encode_expr(x),
      encode_expr(sum),
      encode_expr(select_expr(compare_expr(CompareOp::Le, x, c), unary_expr(UnaryOp::Sqrt, sum),
                              binary_expr(BinaryOp::Atan2, y, x))),
      encode_expr(unary_expr(UnaryOp::Neg, binary_expr(BinaryOp::Pow, c, x))),
  };
}

std::vector<Bytes> kernel_corpus() {
  std::vector<Bytes> corpus;
  for (const Bytes& bytes : expr_corpus()) {
    const Result<KernelSpec> kernel = elementwise(decode_expr(bytes).value());
    if (kernel.ok() && !kernel.value().arg_names.empty()) corpus.push_back(encode_kernel(kernel.value()));
  }
  return corpus;
}

Bytes mutate(const Bytes& original, std::mt19937_64& random) {
  Bytes bytes = original;
  const auto below = [&](std::size_t bound) { return static_cast<std::size_t>(random() % bound); };
  switch (random() % 7) {
    case 0:  // flip one to four bits
      for (std::size_t n = 1 + below(4); n > 0 && !bytes.empty(); --n) {
        bytes[below(bytes.size())] ^= static_cast<std::uint8_t>(1u << below(8));
      }
      break;
    case 1:  // truncate
      bytes.resize(below(bytes.size() + 1));
      break;
    case 2:  // insert a byte
      bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(below(bytes.size() + 1)),
                   static_cast<std::uint8_t>(random()));
      break;
    case 3:  // delete a byte
      if (!bytes.empty()) bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(below(bytes.size())));
      break;
    case 4:  // overwrite a byte with a value that counts and codes often take
      if (!bytes.empty()) {
        static constexpr std::uint8_t kInteresting[] = {0, 1, 2, 3, 10, 22, 23, 30, 37, 38, 50, 55, 56, 70, 71,
                                                        0x7F, 0x80, 0xFF};
        bytes[below(bytes.size())] = kInteresting[below(std::size(kInteresting))];
      }
      break;
    case 5:  // random bytes after the original header
      bytes.resize(std::min<std::size_t>(bytes.size(), 5 + below(3)));
      for (std::size_t n = below(24); n > 0; --n) bytes.push_back(static_cast<std::uint8_t>(random()));
      break;
    default:  // duplicate a slice
      if (!bytes.empty()) {
        const std::size_t from = below(bytes.size());
        const std::size_t length = below(bytes.size() - from) + 1;
        const Bytes slice(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                          bytes.begin() + static_cast<std::ptrdiff_t>(from + length));
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(below(bytes.size() + 1)), slice.begin(),
                     slice.end());
      }
      break;
  }
  return bytes;
}

template <class Decode, class Encode>
void fuzz(const std::vector<Bytes>& corpus, const std::string& prefix, Decode decode, Encode encode) {
  int accepted = 0;
  int refused = 0;
  for (std::size_t entry = 0; entry < corpus.size(); ++entry) {
    for (int seed = 0; seed < kSeeds; ++seed) {
      std::mt19937_64 random(entry * 1000 + static_cast<std::size_t>(seed));
      for (int n = 0; n < kMutantsPerSeed; ++n) {
        const Bytes mutant = mutate(corpus[entry], random);
        const auto decoded = decode(mutant);
        if (decoded.ok()) {
          ++accepted;
          ASSERT_EQ(encode(decoded.value()), mutant) << "entry " << entry << " seed " << seed << " mutant " << n;
        } else {
          ++refused;
          ASSERT_TRUE(decoded.error().message().starts_with(prefix)) << decoded.error().message();
          ASSERT_EQ(decoded.error().kind(), ErrorKind::ArgError);
        }
      }
    }
  }
  // Both outcomes occur, so neither check above is vacuous.
  EXPECT_GT(accepted, 0);
  EXPECT_GT(refused, accepted);
}

TEST(ExprBytesFuzzTest, MutatedExpressionsAreRefusedOrExact) {
  fuzz(expr_corpus(), "invalid expression bytes: ", [](const Bytes& b) { return decode_expr(b); },
       [](const Expr& e) { return encode_expr(e); });
}

TEST(ExprBytesFuzzTest, MutatedKernelsAreRefusedOrExact) {
  fuzz(kernel_corpus(), "invalid kernel bytes: ", [](const Bytes& b) { return decode_kernel(b); },
       [](const KernelSpec& k) { return encode_kernel(k); });
}

}  // namespace
}  // namespace bmx
