// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// Helpers for the unit tests of the boot-hints editing: core tables and runs of
// the line filter over in-memory text.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cores/core_table.h"
#include "hints/loader/line_filter.h"

namespace hints_test {

struct StreamCloser {
  void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using Stream = std::unique_ptr<std::FILE, StreamCloser>;

/// An anonymous file holding `bytes`, positioned at its start.
inline Stream stream_holding(const std::string& bytes) {
  Stream stream(std::tmpfile());
  EXPECT_NE(stream, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), stream.get());
  std::rewind(stream.get());
  return stream;
}

/// Everything written to `stream` so far.
inline std::string contents_of(std::FILE* stream) {
  std::fflush(stream);
  std::rewind(stream);
  std::string bytes;
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, stream)) > 0) bytes.append(chunk, got);
  return bytes;
}

/// A table as create_core_table makes it, with the next-boot split of `-s`.
inline CoreTablePtr make_table(const std::vector<std::uint32_t>& ids, std::uint32_t shared_now,
                               std::uint32_t shared_next, std::uint32_t flags = 0) {
  CoreTablePtr table =
      create_core_table(shared_now, static_cast<std::uint32_t>(ids.size()), ids.data());
  EXPECT_NE(table, nullptr);
  if (table && table->cpu_count > 0) assign_shared_cores(*table, shared_next);
  if (table) table->flags = flags;
  return table;
}

struct FilterRun {
  int status = -1;
  std::string output;
};

/// Runs filter_lines from `input` text into a fresh output stream.
inline FilterRun filter_text(const std::string& input, LineHandler* handler) {
  Stream in = stream_holding(input);
  Stream out(std::tmpfile());
  FilterRun run;
  run.status = filter_lines(in.get(), out.get(), handler);
  run.output = contents_of(out.get());
  return run;
}

}  // namespace hints_test
