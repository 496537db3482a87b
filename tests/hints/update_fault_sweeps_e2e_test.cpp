// SPDX-License-Identifier: BSD-2-Clause
// Faults injected at every point of an update, by the operating system: a disk
// that fills page by page, a file-size limit swept over the bytes written, a
// heap that fails at each allocation in turn, and two updates started at once.
// After every run the exit status is one the tool documents, nothing crashed,
// and the hints file holds exactly its old text or exactly the new one.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hints_e2e_support.h"
#include "scratch_dir.h"
#include "tool_runner.h"

namespace {

constexpr int kSetupDidNotFit = 201;

// Runs the tool in a mount namespace of its own, in a fresh tmpfs on the
// folder $1 (size $2, "-" for no limit) whose subfolder tmp is also the tool's
// /tmp, so that the backup, the temporary file and the copy back all compete
// for the same room. The hints file $3 is copied in first; the file-size
// limit $4 ("-" for none) applies to the tool alone, with SIGXFSZ ignored so
// that a write past it fails with EFBIG instead of killing the run. What the
// tool leaves behind is written to descriptors opened on the folder $5 before
// /tmp is covered; descriptor 6 takes the failing heap's count of allocations.
const char kSandboxScript[] = R"(
fs=$1; size=$2; seed=$3; fsize=$4; out=$5; shift 5
if [ "$size" = - ]; then mount -t tmpfs sweep "$fs"; else mount -t tmpfs -o "size=$size" sweep "$fs"; fi || exit 200
cd "$fs" || exit 200
cp "$seed" device.hints.qvd 2>/dev/null || exit 201
mkdir -m 1777 tmp || exit 201
exec 3>"$out/hints" 4>"$out/backup" 5>"$out/tmp" 6>"$out/allocations"
mount --bind tmp /tmp || exit 200
trap '' XFSZ
if [ "$fsize" = - ]; then "$@"; else prlimit --fsize="$fsize" "$@"; fi
status=$?
cat device.hints.qvd >&3
if [ -e device.hints.qvd.KxBak ]; then cat device.hints.qvd.KxBak >&4; fi
ls -A /tmp >&5
exit $status
)";

struct Limits {
  std::string disk_size;  // tmpfs size, "-" for none
  std::string file_size;  // RLIMIT_FSIZE in bytes, "-" for none
};

const Limits kNoLimits{"-", "-"};

/// What one update left behind.
struct Outcome {
  ToolRun tool;
  std::string hints;
  std::string backup;
  std::string temporary_files;
  std::string allocations;  // with FAIL_MALLOC_COUNT: the heap calls made
};

// APIC ids 0 to 255, as the driver's capacity allows, the first shared now.
DriverSim cores_0_to_255() { return simulated_driver(consecutive_ids(256), "1"); }

// Comments and other settings, then the disable hints of every fourth core:
// the update rewrites some lines and appends many (the file grows).
std::string growing_hints_text(std::size_t comment_bytes) {
  std::string text = "# device hints of the real-time runtime\nhint.acpi.0.disabled=\"0\"\n";
  while (text.size() < comment_bytes) text += "#" + std::string(62, '-') + "\n";
  for (int id = 0; id < 256; id += 4) text += "hint.lapic." + std::to_string(id) + ".disabled=\"1\"\n";
  return text;
}

class UpdateFaultSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!hints_e2e::can_make_mount_namespace()) GTEST_SKIP() << "needs root and unshare -m";
  }

  /// The text an update with `args` makes of `old_text`, seen through --stdout.
  std::string new_text_of(const std::string& old_text, const std::vector<std::string>& args) {
    write_file(dir_.file("preview"), old_text);
    std::vector<std::string> preview = args;
    preview.insert(preview.end(), {"--stdout", "-f", dir_.file("preview")});
    RunOptions options;
    options.driver = cores_0_to_255();
    const ToolRun run = run_tool(preview, options);
    EXPECT_EQ(run.exit_status, 0);
    return run.out;
  }

  Outcome update(const std::string& old_text, const std::vector<std::string>& args,
                 const Limits& limits = kNoLimits, const RunOptions& base = {}) {
    const ScratchDir run_dir;
    const std::string fs = run_dir.file("fs"), seed = run_dir.file("seed");
    write_file(seed, old_text);
    EXPECT_EQ(mkdir(fs.c_str(), 0755), 0);

    RunOptions options = base;
    options.driver = cores_0_to_255();
    options.prefix = {"unshare", "-m", "sh", "-c", kSandboxScript, "sh",
                      fs, limits.disk_size, seed, limits.file_size, run_dir.path()};
    std::vector<std::string> tool_args = args;
    tool_args.insert(tool_args.end(), {"-f", "device.hints.qvd"});

    Outcome outcome;
    outcome.tool = run_tool(tool_args, options);
    outcome.hints = read_file(run_dir.file("hints"));
    outcome.backup = read_file(run_dir.file("backup"));
    outcome.temporary_files = read_file(run_dir.file("tmp"));
    outcome.allocations = read_file(run_dir.file("allocations"));
    return outcome;
  }

  /// The checks every faulted update must pass; returns the exit status seen.
  /// `message_fits` false: the file-size limit also holds the captured
  /// standard error too short for the message.
  static int check(const Outcome& outcome, const std::string& old_text, const std::string& new_text,
                   const std::set<int>& allowed, const std::string& label, bool message_fits = true) {
    const ToolRun& tool = outcome.tool;
    EXPECT_EQ(tool.signal, 0) << label << ": killed by a signal";
    EXPECT_TRUE(allowed.count(tool.exit_status) == 1)
        << label << ": undocumented exit status " << tool.exit_status << ", stderr: " << tool.err;
    if (tool.exit_status == 0) {
      EXPECT_TRUE(outcome.hints == new_text) << label << ": success without the new text";
      EXPECT_EQ(outcome.temporary_files, "") << label << ": temporary file left after success";
      EXPECT_EQ(outcome.backup, old_text) << label;
    } else {
      EXPECT_TRUE(outcome.hints == old_text)
          << label << ": failed update (" << tool.exit_status << ") did not keep the old text";
      if (message_fits) {
        EXPECT_NE(tool.err, "") << label << ": failure without a message";
      }
    }
    return tool.exit_status;
  }

  static std::string summary(const std::map<int, int>& statuses) {
    std::string text;
    for (const auto& [status, count] : statuses) {
      text += " status " + std::to_string(status) + ": " + std::to_string(count) + ";";
    }
    return text;
  }

  ScratchDir dir_;
};

const std::vector<std::string> kGrowingUpdate = {"-s", "1", "--write-clock-hint", "--flat"};
const std::set<int> kUpdateStatuses = {0, 249, 250, 251};

TEST_F(UpdateFaultSweep, DiskFillsPageByPage) {
  const std::string old_text = growing_hints_text(6000);
  const std::string new_text = new_text_of(old_text, kGrowingUpdate);
  ASSERT_GT(new_text.size(), 2 * old_text.size());

  // Room for the old text twice and the new text twice, and a page more.
  const std::size_t page = 4096;
  const std::size_t last_page = (2 * old_text.size() + 2 * new_text.size()) / page + 2;
  std::map<int, int> statuses;
  int runs = 0;
  for (std::size_t pages = 1; pages <= last_page; ++pages) {
    const Outcome outcome =
        update(old_text, kGrowingUpdate, {std::to_string(pages * 4) + "k", "-"});
    if (outcome.tool.exit_status == kSetupDidNotFit) continue;
    ++runs;
    ++statuses[check(outcome, old_text, new_text, kUpdateStatuses,
                     std::to_string(pages) + " pages")];
  }
  std::printf("disk-full sweep: %d runs;%s\n", runs, summary(statuses).c_str());
  // The disk filled during the backup, the edit and the copy back in turn, and
  // at last there was room for the whole update.
  for (const int status : kUpdateStatuses) {
    EXPECT_GT(statuses[status], 0) << "no run ended with status " << status;
  }
}

TEST_F(UpdateFaultSweep, FileSizeLimitOverEveryOffset) {
  const std::string old_text = growing_hints_text(200);
  const std::string new_text = new_text_of(old_text, kGrowingUpdate);

  // Every offset would be some 15000 runs: take every 61st byte, and every
  // byte around the two file sizes, where the outcome turns.
  std::set<std::size_t> limits;
  for (std::size_t limit = 0; limit <= new_text.size() + 1; limit += 61) limits.insert(limit);
  for (const std::size_t size : {old_text.size(), new_text.size()}) {
    for (std::size_t limit = size - 2; limit <= size + 2; ++limit) limits.insert(limit);
  }

  std::map<int, int> statuses;
  for (const std::size_t limit : limits) {
    const Outcome outcome = update(old_text, kGrowingUpdate, {"-", std::to_string(limit)});
    ++statuses[check(outcome, old_text, new_text, kUpdateStatuses,
                     "limit " + std::to_string(limit), limit >= 100)];
    // Below the old size the backup cannot be made; from the new size on, nothing fails.
    if (limit < old_text.size()) {
      EXPECT_EQ(outcome.tool.exit_status, 251) << limit;
    }
    if (limit >= new_text.size()) {
      EXPECT_EQ(outcome.tool.exit_status, 0) << limit;
    }
  }
  std::printf("file-size sweep: %zu runs;%s\n", limits.size(), summary(statuses).c_str());
  EXPECT_GT(statuses[250], 0);
}

TEST_F(UpdateFaultSweep, EveryAllocationFailsInTurn) {
  if (*FAIL_MALLOC_LIBRARY == '\0') GTEST_SKIP() << "the sanitizers own the heap in this build";
  const std::string old_text = growing_hints_text(3000);
  const std::string new_text = new_text_of(old_text, kGrowingUpdate);

  RunOptions counting;
  counting.preload = {FAIL_MALLOC_LIBRARY};
  counting.environment = {{"FAIL_MALLOC_COUNT", "/proc/self/fd/6"}};
  const Outcome clean = update(old_text, kGrowingUpdate, kNoLimits, counting);
  ASSERT_EQ(clean.tool.exit_status, 0);
  ASSERT_FALSE(clean.allocations.empty());
  const int calls = std::stoi(clean.allocations);
  ASSERT_GT(calls, 0);

  // A heap that runs dry also fails the driver query (254) or the table (253).
  const std::set<int> allowed = {0, 249, 250, 251, 253, 254};
  std::map<int, int> statuses;
  for (int k = 1; k <= calls + 1; ++k) {
    RunOptions failing;
    failing.preload = {FAIL_MALLOC_LIBRARY};
    failing.environment = {{"FAIL_MALLOC_AT", std::to_string(k)}};
    ++statuses[check(update(old_text, kGrowingUpdate, kNoLimits, failing), old_text, new_text, allowed,
                     "allocation " + std::to_string(k))];
  }
  std::printf("allocation sweep: %d runs;%s\n", calls + 1, summary(statuses).c_str());
  EXPECT_GT(statuses[0], 0);
  EXPECT_GT(statuses[251] + statuses[250] + statuses[249], 0);
}

// Without the lock the second update could read a file the first is halfway
// through rewriting, and write back a mix of both.
TEST_F(UpdateFaultSweep, TwoUpdatesAtOnceNeverMix) {
  // Every core already has its hint, so each update only rewrites values and
  // either order of the two leaves exactly the later one's text.
  std::string old_text = "# hints\n";
  while (old_text.size() < 400000) old_text += "#" + std::string(62, '=') + "\n";
  for (int id = 0; id < 256; ++id) old_text += "hint.lapic." + std::to_string(id) + ".disabled=\"0\"\n";
  const std::vector<std::string> first = {"-s", "2"}, second = {"-s", "200"};
  const std::string first_text = new_text_of(old_text, first);
  const std::string second_text = new_text_of(old_text, second);
  ASSERT_NE(first_text, second_text);

  const std::string hints = dir_.file("device.hints.qvd");
  RunOptions options;
  options.driver = cores_0_to_255();
  constexpr int kRounds = 25;
  int first_won = 0, second_won = 0;
  for (int round = 0; round < kRounds; ++round) {
    write_file(hints, old_text);
    ToolRun a, b;
    std::thread run_a([&] { a = run_tool({"-s", "2", "-f", hints}, options); });
    std::thread run_b([&] { b = run_tool({"-s", "200", "-f", hints}, options); });
    run_a.join();
    run_b.join();
    EXPECT_EQ(a.exit_status, 0) << a.err;
    EXPECT_EQ(b.exit_status, 0) << b.err;
    const std::string result = read_file(hints);
    if (result == first_text) {
      ++first_won;
    } else if (result == second_text) {
      ++second_won;
    } else {
      ADD_FAILURE() << "round " << round << ": the hints file mixes the two updates";
    }
  }
  std::printf("concurrent updates: %d rounds (%d runs); last was -s 2: %d, -s 200: %d\n", kRounds,
              2 * kRounds, first_won, second_won);
}

}  // namespace
