// SPDX-License-Identifier: BSD-2-Clause
#include "hints/loader/kernel_number.h"

namespace {

/// isspace in the C locale, which the kernel's strtoul uses.
bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/// The digit's value, or 16 for a byte that is no digit in any base.
unsigned digit_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  const char lower = static_cast<char>(c | 0x20);
  if (lower >= 'a' && lower <= 'f') return static_cast<unsigned>(lower - 'a' + 10);
  return 16;
}

}  // namespace

void KernelNumberReader::feed(char c) {
  switch (phase_) {
    case Phase::Start:
      if (is_space(c)) return;
      if (c == '+' || c == '-') {
        phase_ = Phase::Sign;
        return;
      }
      [[fallthrough]];
    case Phase::Sign:
      if (c == '0') {
        phase_ = Phase::Zero;  // octal, unless an x follows
      } else if (c >= '1' && c <= '9') {
        phase_ = Phase::Digits;
        number_ = static_cast<std::uint64_t>(c - '0');
      } else {
        phase_ = Phase::Invalid;
      }
      return;
    case Phase::Zero:
      if ((c | 0x20) == 'x') {
        phase_ = Phase::ZeroX;
        return;
      }
      base_ = 8;
      phase_ = Phase::Digits;
      break;
    case Phase::ZeroX:
      // "0x" counts as hexadecimal only with a hex digit after it; otherwise
      // the x is no octal digit and strtoul stops short.
      if (digit_value(c) >= 16) {
        phase_ = Phase::Invalid;
        return;
      }
      base_ = 16;
      phase_ = Phase::Digits;
      break;
    case Phase::Digits:
      break;
    case Phase::Invalid:
      return;
  }
  const unsigned digit = digit_value(c);
  if (digit >= base_) {
    phase_ = Phase::Invalid;
    return;
  }
  // Only whether the low 32 bits are zero matters; a number too big for an
  // unsigned long reads as ULONG_MAX, whose are not.
  if (number_ > (UINT64_MAX - digit) / base_) overflow_ = true;
  number_ = number_ * base_ + digit;
}

KernelNumber KernelNumberReader::result() const {
  switch (phase_) {
    case Phase::Start:
      return KernelNumber::Blank;
    case Phase::Zero:
      return KernelNumber::Zero;
    case Phase::Digits:
      return overflow_ || (number_ & 0xffffffffu) != 0 ? KernelNumber::NonZero : KernelNumber::Zero;
    case Phase::Sign:
    case Phase::ZeroX:
    case Phase::Invalid:
      break;
  }
  return KernelNumber::NotANumber;
}

std::uint32_t KernelNumberReader::low_bits() const {
  if (result() != KernelNumber::NonZero) return 0;
  // strtoul gives ULONG_MAX for a number too big for it.
  return overflow_ ? UINT32_MAX : static_cast<std::uint32_t>(number_);
}

KernelNumber read_kernel_number(std::string_view value) {
  KernelNumberReader reader;
  reader.feed(value);
  return reader.result();
}
