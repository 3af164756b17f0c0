// The exact sum of floating-point values, rounded once: a small
// superaccumulator after R. M. Neal, "Fast exact summation using small and
// large superaccumulators" (2015). The exact sum of a set of values does not
// depend on their order, so every split, chunking and thread count gives the
// same bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace bmx {

/// The formats a sum is rounded to, by their element types' names.
enum class SumFormat : std::uint8_t { Float16, Float32, Float64 };

/// A running exact sum. Each finite double is m * 2^(p - 1074) with an integer
/// m < 2^53 and p in [0, 2045]; it goes into the chunks p / 32 and p / 32 + 1
/// (32 bits of weight each, held in 64-bit integers), so an addition is two
/// integer additions and never rounds. Carries move up every kCarryEvery
/// additions, before any chunk could overflow, and at the end of every call.
class ExactSum {
 public:
  /// 2046 exponents over 32 bits a chunk, one chunk above for a mantissa's
  /// upper part, and two above that for carries: the top chunk holds 2^1038
  /// and up, which no count of doubles a machine can hold overflows.
  static constexpr std::size_t kChunks = 67;
  /// The state's words: the chunks, then the count, then the flags.
  static constexpr std::size_t kStateWords = kChunks + 2;
  using State = std::array<std::int64_t, kStateWords>;
  using Chunks = std::array<std::int64_t, kChunks>;

  /// An empty sum: +0.0.
  ExactSum() = default;
  /// The sum a state() holds; a state no ExactSum gave may round to anything.
  explicit ExactSum(const State& state);

  void add(double value) { add(std::span<const double>(&value, 1)); }
  void add(std::span<const double> values);
  /// Each float as the double it equals.
  void add(std::span<const float> values);
  /// Adds the sum `other` holds, exactly.
  void merge(const ExactSum& other);
  /// How many values went in.
  std::uint64_t count() const { return count_; }

  /// The exact sum rounded once, to nearest with ties to even, to `format`,
  /// held in a double (which holds every value of the three formats): NaN when
  /// a NaN went in or both infinities did, else the infinity that went in;
  /// beyond the format's range, an infinity of the sum's sign (no partial sum
  /// overflows); a zero sum is -0.0 only when every value was -0.0 (and there
  /// was one), an empty sum +0.0. The NaN is the positive quiet one.
  double round_as(SumFormat format) const;
  double round_to_double() const { return round_as(SumFormat::Float64); }
  float round_to_float() const { return static_cast<float>(round_as(SumFormat::Float32)); }

  /// The sum as fixed words, for another process or another ExactSum.
  State state() const;

 private:
  /// The sums of a table's columns keep their spills here.
  friend class ExactColumns;

  /// Additions to one accumulator between two carries: each adds less than
  /// 2^52 to a chunk, whose magnitude is below 2^32 after a carry, so 2047 of
  /// them keep it below 2^63.
  static constexpr std::size_t kCarryEvery = 2047;
  /// Accumulators a long run of values goes round, and the runs that long.
  static constexpr std::size_t kLanes = 4;
  static constexpr std::size_t kLanedFrom = 256;

  enum Flag : std::uint8_t { kNan = 1, kPositiveInf = 2, kNegativeInf = 4, kNotNegativeZero = 8 };

  template <class Value>
  void add_any(std::span<const Value> values);
  template <class Value>
  void add_some(std::span<const Value> values);
  /// Adds through the fast front, each block it cannot take exactly through add_any.
  template <class Value>
  void add_front(std::span<const Value> values);
  /// Adds each column of a table, as ExactColumns reads one, to its element of
  /// `sums`, through the superaccumulators alone; values not `counted` change
  /// the sums but neither their counts nor their flags.
  template <class Value>
  static void add_columns_exactly(const Value* first, std::size_t rows, std::size_t row_stride,
                                  std::span<ExactSum> sums, bool counted);
  /// Adds the sum `other` holds, but neither its count nor its flags.
  void add_chunks(const ExactSum& other);
  template <std::size_t kLaneCount, class Value>
  void add_values(std::span<const Value> values);
  /// Moves every chunk's bits above its 32 into the chunk above: every chunk
  /// but the top one ends in [0, 2^32), as it is between two calls.
  void carry();
  void add_special(std::uint64_t bits);
  /// Adds a value that is not normal: a subnormal to `chunks`, a NaN or an
  /// infinity to the flags, and a zero to the count of -0.0 if it is one.
  void add_unusual(Chunks& chunks, std::uint64_t bits, std::size_t& negative_zeros);
  /// Counts `count` values added, `negative_zeros` of them -0.0.
  void finish_adding(std::size_t count, std::size_t negative_zeros);

  Chunks chunks_{};
  std::uint64_t count_ = 0;
  std::uint8_t flags_ = 0;
};

}  // namespace bmx
