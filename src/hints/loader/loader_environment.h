// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "hints/loader/kernel_number.h"

/// The most of a name or a value the tool keeps. The loader's heap is small
/// and the kernel reads hint names of a few dozen bytes; a longer name is not
/// kept at all, a longer value only in part (with the kernel's reading of
/// the whole of it), so memory never grows with a line's length.
inline constexpr std::size_t kMaxHeldName = std::size_t{4} * 1024;
inline constexpr std::size_t kMaxHeldValue = std::size_t{64} * 1024;

/// A value as the loader stores it: a C string, so it ends at its first NUL
/// byte, as the kernel receives it.
struct LoaderValue {
  std::string text;  // at most kMaxHeldValue bytes of it
  bool cut = false;  // the value is longer than `text`
  KernelNumberReader number;  // the kernel's reading of the whole value

  [[nodiscard]] KernelNumber kernel_number() const { return number.result(); }
};

/// The boot loader's environment as a reading pass collects it: one value
/// per name, the last one set wins, kept in strcmp order (the order in which
/// the kernel walks it).
struct LoaderEnvironment {
  std::map<std::string, LoaderValue, std::less<>> values;

  /// Sets `name` to a copy of `value`; a name set before keeps its key and
  /// its room, so a file that repeats a few names costs no allocation per
  /// line. Throws std::bad_alloc.
  void set(std::string_view name, const LoaderValue& value);

  /// The value of `name`, or none.
  [[nodiscard]] const LoaderValue* find(std::string_view name) const;
};
