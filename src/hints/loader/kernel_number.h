// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>
#include <string_view>

/// The kernel's integer reading of a hint value: strtoul with base 0 must
/// take the whole value, and the number is kept in a 32-bit int.
enum class KernelNumber { Blank, NotANumber, Zero, NonZero };

/// That reading, a byte at a time, so that a value of any length is read in
/// a few bytes of state.
class KernelNumberReader {
 public:
  void feed(char c);
  void feed(std::string_view text) {
    for (const char c : text) feed(c);
  }
  /// Nothing but white space so far: what follows is read as from the start.
  [[nodiscard]] bool at_start() const { return phase_ == Phase::Start; }
  /// The value goes on with text that was not kept: it can no longer be read.
  void give_up() { phase_ = Phase::Invalid; }
  [[nodiscard]] KernelNumber result() const;
  /// The number as the kernel keeps it in an int (its low 32 bits); 0 unless
  /// the result is a number.
  [[nodiscard]] std::uint32_t low_bits() const;
  /// Whether the kernel reads two values alike: the same result and number.
  [[nodiscard]] bool reads_like(const KernelNumberReader& other) const {
    return result() == other.result() && low_bits() == other.low_bits();
  }

 private:
  enum class Phase : std::uint8_t { Start, Sign, Zero, ZeroX, Digits, Invalid };
  Phase phase_ = Phase::Start;
  std::uint8_t base_ = 10;
  bool overflow_ = false;
  std::uint64_t number_ = 0;
};

KernelNumber read_kernel_number(std::string_view value);
