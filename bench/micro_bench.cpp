// SPDX-License-Identifier: BSD-2-Clause
// Nanoseconds per line of the edit pass, per kind of line, and of
// the core lookup it makes for every hint, on a 256-core table.

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cores/core_table.h"
#include "hints/hint_rules.h"
#include "hints/loader/line_filter.h"

namespace {

constexpr std::uint32_t kCores = 256;
constexpr std::uint32_t kSharedNext = 4;

CoreTablePtr make_table(std::uint32_t flags) {
  std::array<std::uint32_t, kCores> ids{};
  for (std::uint32_t i = 0; i < kCores; ++i) ids[i] = i;
  CoreTablePtr table = create_core_table(kCores, kCores, ids.data());
  assign_shared_cores(*table, kSharedNext);
  table->flags = flags;
  return table;
}

/// One line per core (or a fixed set), cycled through so that every lookup
/// walks a different share of the table, as in a real file.
std::vector<std::string> lines_for(const char* format, std::uint32_t first_id) {
  std::vector<std::string> lines;
  for (std::uint32_t i = 0; i < kCores; ++i) {
    std::array<char, 128> text{};
    std::snprintf(text.data(), text.size(), format, first_id + i);
    lines.emplace_back(text.data());
  }
  return lines;
}

/// A piece as the filter hands it over: the whole of a short line.
void load_piece(LineBuffer& line, const std::string& text) {
  std::memcpy(line.text.data(), text.data(), text.size());
  use_text(line, text.size());
  line.continues_line = false;
  line.ends_line = true;
  line.held = HeldPieces::None;
}

/// Runs the edit pass's rewrite_hint_line over `lines` in turn, copying each
/// into the line buffer first as the filter does; `reset` undoes what the
/// pass marked, so every iteration sees a first hint rather than a repeat.
template <typename Reset>
void run_rewrite(benchmark::State& state, const std::vector<std::string>& lines,
                 std::uint32_t flags, Reset reset) {
  CoreTablePtr table = make_table(flags);
  EditPass pass(*table);
  auto storage = std::make_unique<char[]>(kLineBufferSize);
  LineBuffer line{std::span<char, kLineBufferSize>(storage.get(), kLineBufferSize)};
  std::size_t next = 0;
  for (auto _ : state) {
    load_piece(line, lines[next]);
    pass.rewrite_hint_line(line);
    benchmark::DoNotOptimize(line.length);
    reset(*table, next);
    next = next + 1 == lines.size() ? 0 : next + 1;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_rewrite_disable_hint(benchmark::State& state) {
  run_rewrite(state, lines_for("hint.lapic.%u.disabled=\"1\"\n", 0), 0,
              [](CoreTable& table, std::size_t i) { table.entries[i].disable_hint_done = 0; });
}

void BM_rewrite_clock_hint(benchmark::State& state) {
  run_rewrite(state, lines_for("hint.apic.%u.clock=\"1\"\n", 0), WriteClockHint,
              [](CoreTable& table, std::size_t i) { table.entries[i].clock_hint_done = 0; });
}

/// The pass rewrites only the first topology line, so each round takes a
/// fresh pass (it holds no memory of its own until a line needs it).
void BM_rewrite_topology(benchmark::State& state) {
  CoreTablePtr table = make_table(Flat);
  auto storage = std::make_unique<char[]>(kLineBufferSize);
  LineBuffer line{std::span<char, kLineBufferSize>(storage.get(), kLineBufferSize)};
  const std::string text = "kern.smp.topology=\"1\"\n";
  for (auto _ : state) {
    EditPass pass(*table);
    load_piece(line, text);
    pass.rewrite_hint_line(line);
    benchmark::DoNotOptimize(line.length);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

/// Ids 256 and up are no core's: the lookup walks the whole table every time.
void BM_rewrite_stray_id(benchmark::State& state) {
  run_rewrite(state, lines_for("hint.lapic.%u.disabled=\"1\"\n", kCores), Strip,
              [](CoreTable&, std::size_t) {});
}

void BM_rewrite_other_line(benchmark::State& state) {
  run_rewrite(state,
              {"# Cores withheld for the real-time runtime\n", "hint.uart.0.at=\"isa\"\n",
               "hint.acpi.0.disabled=\"1\"\n", "\n"},
              0, [](CoreTable&, std::size_t) {});
}

/// A hint whose comment starts past the first piece: a line of three pieces,
/// held back and read by the loader's grammar, then rewritten whole.
void BM_rewrite_long_hint(benchmark::State& state) {
  CoreTablePtr table = make_table(0);
  EditPass pass(*table);
  auto storage = std::make_unique<char[]>(kLineBufferSize);
  LineBuffer line{std::span<char, kLineBufferSize>(storage.get(), kLineBufferSize)};
  const std::string hint = "hint.lapic.5.disabled=\"1\"";
  const std::string head = hint + std::string(kMaxLineLength - hint.size(), ' ');
  const std::string blanks(kMaxLineLength, ' ');
  const std::string tail = "# withheld for the runtime\n";
  for (auto _ : state) {
    for (const std::string* piece : {&head, &blanks, &tail}) {
      load_piece(line, *piece);
      line.continues_line = piece != &head;
      line.ends_line = piece == &tail;
      pass.rewrite_hint_line(line);
      benchmark::DoNotOptimize(line.length);
    }
    table->entries[5].disable_hint_done = 0;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

/// Every id of the table in turn, through the table's index.
void BM_lookup_core_each(benchmark::State& state) {
  CoreTablePtr table = make_table(0);
  std::uint32_t id = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(lookup_core(*table, id));
    id = (id + 1) % kCores;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_lookup_core_last(benchmark::State& state) {
  CoreTablePtr table = make_table(0);
  std::uint32_t id = kCores - 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(id);
    benchmark::DoNotOptimize(lookup_core(*table, id));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_lookup_core_missing(benchmark::State& state) {
  CoreTablePtr table = make_table(0);
  std::uint32_t id = kCores + 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(id);
    benchmark::DoNotOptimize(lookup_core(*table, id));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

}  // namespace

BENCHMARK(BM_rewrite_disable_hint);
BENCHMARK(BM_rewrite_clock_hint);
BENCHMARK(BM_rewrite_topology);
BENCHMARK(BM_rewrite_stray_id);
BENCHMARK(BM_rewrite_other_line);
BENCHMARK(BM_rewrite_long_hint);
BENCHMARK(BM_lookup_core_each);
BENCHMARK(BM_lookup_core_last);
BENCHMARK(BM_lookup_core_missing);

BENCHMARK_MAIN();
