// SPDX-License-Identifier: BSD-2-Clause
// What FreeBSD's boot loader makes of the hints files the tool writes: each
// update and dry run below runs the real binary under the driver stand-in, and
// its result is read back through the loader's own parser and the kernel's
// reading of the hints. Then whole fake /boot trees, as the package leaves
// them, show whether the loader reads the hints file at all.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "freebsd_loader.h"
#include "hints_e2e_support.h"
#include "scratch_dir.h"
#include "tool_runner.h"
#include "worked_example.h"

namespace {

// The stand-in's cores: APIC ids 0, 2, 4, 6, all shared now. APIC id 9 is no
// core's.
const std::vector<std::uint32_t> kCores{0, 2, 4, 6};
const std::vector<std::string> kStrayPrefixes{"hint.lapic.9.", "hint.apic.9."};

struct ReadBackCase {
  const char* name;
  std::string input;
  std::vector<std::string> args;        // the command and its modifiers, without -f
  std::vector<std::uint32_t> isolated;  // APIC ids the next boot must withhold
};

const std::vector<ReadBackCase> kCases{
    {"worked example, every modifier", worked_example::kInput,
     {"-s", "2", "--strip", "--flat", "--write-clock-hint"}, {4, 6}},
    {"worked example, no modifier", worked_example::kInput, {"-s", "2"}, {4, 6}},
    {"worked example, delete, dry run", worked_example::kInput, {"-d", "--stdout"}, {}},
    {"nothing but the first core shared, dry run", worked_example::kInput,
     {"-s", "0", "--flat", "--write-clock-hint", "--stdout"}, {2, 4, 6}},
    {"CRLF lines and a line the loader rejects",
     "# crlf\r\nhint.lapic.0.disabled=\"1\"\r\nhint.apic.0.clock=\"1\"\r\nnot a setting\r\n"
     "kern.smp.topology=\"1\"\r\nhint.lapic.6.disabled=\"0\"\r\n",
     {"-s", "3", "--flat", "--write-clock-hint"}, {6}},
    {"last line without a line feed", "hint.lapic.2.disabled=\"1\"\nhint.acpi.0.disabled=\"1\"",
     {"-s", "3", "--flat", "--write-clock-hint"}, {6}},
    {"last hint without a line feed", "# one core\nhint.lapic.6.disabled=\"0\"", {"-s", "1", "--flat"},
     {2, 4, 6}},
    {"empty file, dry run", "", {"-s", "2", "--flat", "--write-clock-hint", "--stdout"}, {4, 6}},
    {"stray ids kept", "hint.lapic.9.disabled=\"1\"\nhint.apic.9.clock=\"1\"\n",
     {"-s", "2", "--write-clock-hint"}, {4, 6}},
    {"stray ids stripped, dry run", "hint.lapic.9.disabled=\"1\"\nhint.apic.9.clock=\"1\"\n",
     {"-s", "2", "--strip", "--stdout"}, {4, 6}},
    {"repeated hints",
     "hint.lapic.4.disabled=\"0\"\nhint.apic.0.clock=\"1\"\nhint.lapic.4.disabled=\"0\"\n"
     "hint.lapic.0.disabled=\"1\"\nhint.apic.0.clock=\"1\"\nhint.lapic.0.disabled=\"1\"\n",
     {"-s", "2", "--write-clock-hint"}, {4, 6}},
    {"a hint inside a comment longer than 2047 bytes",
     "#" + std::string(2046, ' ') + "hint.lapic.4.disabled=\"0\"\nhint.lapic.4.disabled=\"0\"\n",
     {"-s", "2"}, {4, 6}},
    // Hand-edited forms: what the loader reads as a hint, the tool counts.
    {"hints only the loader's grammar takes",
     "  hint.lapic.4.disabled=\"0\"\nhint.lapic.6.disabled\t=\"0\"\nhint.lapic.02.disabled=\"1\"\n",
     {"-s", "2"}, {4, 6}},
    {"an indented repeat", "hint.lapic.4.disabled=\"0\"\n\thint.lapic.4.disabled=\"1\"\n", {"-s", "3"}, {6}},
    {"odd values, indented, bare", "hint.lapic.6.disabled=2\n  hint.lapic.2.disabled=\"1\"\n",
     {"-s", "3"}, {6}},
    {"two topology lines", "kern.smp.topology=\"2\"\nkern.smp.topology=\"1\"\n", {"-s", "4", "--flat"}, {}},
    {"tabs, comments, leading zeros, CRLF, a malformed hint",
     "hint.lapic.04.disabled\t= 0x1 # mine\r\n\t kern.smp.topology = 1\r\n"
     "hint.lapic.6.disabled=\"0\" x\r\nhint.apic.00.clock=\"1\"\t#\r\nhint.lapic.4.disabled=-1\r\n",
     {"-s", "3", "--flat", "--write-clock-hint"}, {6}},
    {"values the kernel reads as no number", "hint.lapic.2.disabled=yes\nhint.lapic.4.disabled=08\n",
     {"-s", "2", "--stdout"}, {4, 6}},
};

bool has(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

bool has_stray(const freebsd_loader::Reading& reading) {
  return std::any_of(reading.variables.begin(), reading.variables.end(), [](const std::string& v) {
    return std::any_of(kStrayPrefixes.begin(), kStrayPrefixes.end(),
                       [&](const std::string& prefix) { return v.rfind(prefix, 0) == 0; });
  });
}

// The kernel's verdict on each unit's disable hint: the first in sorted order,
// as the kernel finds it ("cpu disabled" or "cpu enabled").
std::map<std::uint32_t, std::string> disable_verdicts(const freebsd_loader::Reading& reading) {
  static const std::regex kLine(R"(^hint\.lapic\.([0-9]+)\.disabled: (.*)$)");
  std::map<std::uint32_t, std::string> verdicts;
  for (const std::string& line : reading.kernel) {
    std::smatch match;
    // A blank value is no hint: the kernel goes on to the next spelling.
    if (std::regex_match(line, match, kLine) && match[2] != "CONFIG: invalid hint, ignored") {
      verdicts.emplace(static_cast<std::uint32_t>(std::stoul(match[1])), match[2]);
    }
  }
  return verdicts;
}

/// The next-boot column of a core mode report: one 'S' (shared) or 'I' (isolated) per core.
std::string next_boot_column(const std::string& report) {
  static const std::regex kRow(R"(^ +[0-9]+ \| +[0-9a-f]+ +\| +\S+ +\| +(\S+) *\r$)");
  std::istringstream rows(report);
  std::string split;
  for (std::string row; std::getline(rows, row);) {
    std::smatch match;
    if (std::regex_match(row, match, kRow)) split += match[1] == "shared" ? 'S' : 'I';
  }
  return split;
}

/// The next-boot column of --show for a hints file.
std::string report_of(const std::string& hints) {
  RunOptions options;
  options.driver = hints_e2e::four_cores();
  const ToolRun tool = run_tool({"--show", "-f", hints}, options);
  EXPECT_EQ(tool.exit_status, 0) << tool.err;
  return next_boot_column(tool.out);
}

/// The same column as the kernel's view of the file: a core whose hint does
/// not disable it starts (all four are shared now), and the first always does.
std::string kernel_split(const freebsd_loader::Reading& reading) {
  const std::map<std::uint32_t, std::string> verdicts = disable_verdicts(reading);
  std::string split;
  for (const std::uint32_t id : kCores) {
    const bool disabled = verdicts.count(id) != 0 && verdicts.at(id) == "cpu disabled";
    split += disabled && id != kCores[0] ? 'I' : 'S';
  }
  return split;
}

TEST(LoaderReadBack, WhatEveryUpdateAndDryRunWrites) {
  if (const std::string missing = freebsd_loader::missing(); !missing.empty()) GTEST_SKIP() << missing;

  for (const ReadBackCase& test : kCases) {
    SCOPED_TRACE(test.name);
    const ScratchDir dir;
    const std::string hints = dir.file("device.hints.qvd");
    const std::string input = dir.file("input");
    write_file(hints, test.input);
    write_file(input, test.input);

    std::vector<std::string> args = test.args;
    args.insert(args.end(), {"-f", hints});
    RunOptions options;
    options.driver = hints_e2e::four_cores();
    const ToolRun tool = run_tool(args, options);
    ASSERT_EQ(tool.exit_status, 0) << tool.err;
    EXPECT_EQ(tool.err, "");
    if (has(test.args, "--stdout")) write_file(hints, tool.out);

    const freebsd_loader::Reading before = freebsd_loader::read({"--kernel", input});
    const freebsd_loader::Reading after = freebsd_loader::read({"--kernel", hints});
    ASSERT_NE(after.status, 2) << after.err;
    EXPECT_EQ(report_of(input), kernel_split(before)) << "--show before the update";
    EXPECT_EQ(report_of(hints), kernel_split(after)) << "--show after the update";

    // Lines the loader rejected in the input may stay; the tool adds none.
    for (const std::string& line : after.malformed) {
      EXPECT_TRUE(has(before.malformed, line)) << "the tool wrote a malformed line: " << line;
    }

    const std::map<std::uint32_t, std::string> verdicts = disable_verdicts(after);
    for (const std::uint32_t id : kCores) {
      const bool isolated = std::count(test.isolated.begin(), test.isolated.end(), id) > 0;
      EXPECT_EQ(verdicts.count(id) ? verdicts.at(id) : "no hint", isolated ? "cpu disabled" : "cpu enabled")
          << "APIC id " << id;
    }
    EXPECT_EQ(verdicts.count(kCores[0]) ? verdicts.at(kCores[0]) : "", "cpu enabled")
        << "the first core is never withheld";

    if (has(test.args, "--flat")) {
      EXPECT_TRUE(has(after.kernel, "kern.smp.topology: smp_topology = 2 (all cpus equal)"));
    }
    if (has(test.args, "--write-clock-hint")) {
      EXPECT_TRUE(has(after.kernel, "hint.apic.0.clock: LAPIC timer not registered"));
    }
    EXPECT_EQ(has_stray(after), has_stray(before) && !has(test.args, "--strip"));
  }
}

/// A hand-edited hints file: the forms the loader takes, and some it rejects,
/// mixed at random from a fixed seed so that a failure can be replayed.
std::string random_hints(std::mt19937& random) {
  const auto pick = [&](const std::vector<std::string>& from) {
    return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
  };
  const std::vector<std::string> blanks{"", "", " ", "\t", " \t "};
  const std::vector<std::string> ids{"0", "2", "4", "6", "9", "02", "04", "004", "06", "-4"};
  const std::vector<std::string> values{"0", "1", "2", "0x1", "01", "08", "-1", "yes", "4294967296"};
  const std::vector<std::string> tails{"", "", " # note", "\t#", " x", ";"};
  std::string text;
  const int lines = std::uniform_int_distribution<int>(0, 12)(random);
  for (int i = 0; i < lines; ++i) {
    std::string name;
    switch (std::uniform_int_distribution<int>(0, 9)(random)) {
      case 0: text += pick({"# comment", "", "hint.acpi.0.disabled=\"1\""}) + "\n"; continue;
      case 1: name = "kern.smp.topology"; break;
      case 2: name = "hint.apic." + pick(ids) + ".clock"; break;
      default: name = "hint.lapic." + pick(ids) + ".disabled"; break;
    }
    const std::string value = pick(values);
    const std::string quoted = pick({"\"" + value + "\"", value, "\" " + value + "\"", "\"\""});
    const std::string separator = pick({"=", " = ", "\t=\t", " "});
    text += pick(blanks) + name + separator + quoted + pick(tails) + pick({"\n", "\n", "\r\n"});
  }
  // Now and then a last line without its line feed.
  if (!text.empty() && random() % 4 == 0) text.pop_back();
  return text;
}

TEST(LoaderReadBack, RandomHandEditedFileSweepBootsAsReportedAndAsSplit) {
  if (const std::string missing = freebsd_loader::missing(); !missing.empty()) GTEST_SKIP() << missing;

  std::mt19937 random(20261208);
  for (int round = 0; round < 200; ++round) {
    const std::string input = random_hints(random);
    SCOPED_TRACE("round " + std::to_string(round) + ", input:\n" + input);
    const ScratchDir dir;
    const std::string hints = dir.file("device.hints.qvd");
    write_file(hints, input);
    EXPECT_EQ(report_of(hints), kernel_split(freebsd_loader::read({"--kernel", hints})));

    const std::uint32_t shared = std::uniform_int_distribution<std::uint32_t>(0, 4)(random);
    const bool flat = random() % 2 == 0;
    std::vector<std::string> args{"-s", std::to_string(shared), "-f", hints};
    if (flat) args.push_back("--flat");
    RunOptions options;
    options.driver = hints_e2e::four_cores();
    const ToolRun tool = run_tool(args, options);
    ASSERT_EQ(tool.exit_status, 0) << tool.err;
    const freebsd_loader::Reading after = freebsd_loader::read({"--kernel", hints});
    std::string split;
    for (std::uint32_t i = 0; i < kCores.size(); ++i) split += i < std::max(shared, 1u) ? 'S' : 'I';
    EXPECT_EQ(kernel_split(after), split) << "written:\n" << read_file(hints);
    if (flat) {
      EXPECT_TRUE(has(after.kernel, "kern.smp.topology: smp_topology = 2 (all cpus equal)"))
          << "written:\n" << read_file(hints);
    }
  }
}

// A fake /boot as an installed package leaves it: the loader's defaults, the
// two samples the package copies into /boot (the loader.conf.d file and the
// hints file, which the tool has then updated) and the administrator's own
// /boot/loader.conf.
struct BootCase {
  const char* name;
  bool installed;           // the package's file is in /boot/loader.conf.d
  bool hints_file;          // /boot/device.hints.qvd exists
  std::string loader_conf;  // /boot/loader.conf; empty: none
  int loads;                // how often the loader opens the hints file
  bool hints_read;          // the tool's hints reach the kernel
};

/// The samples that the package copies into /boot, staged on request in a
/// build for this system (the FreeBSD build installs them by default): the
/// folder that holds them under `stage`.
std::string stage_samples(const ScratchDir& stage) {
  const std::string install = "DESTDIR='" + stage.path() + "' '" CMAKE_COMMAND_PATH "' --install '" +
                              RIDIDEZUVE_BUILD_DIR "' --prefix /usr/local --component loader_conf "
                              ">/dev/null 2>&1";
  EXPECT_EQ(std::system(install.c_str()), 0) << install;
  return stage.path() + "/usr/local/" RIDIDEZUVE_EXAMPLESDIR;
}

/// The package's /boot/loader.conf.d/rididezuve.conf.
std::string installed_loader_conf() {
  const ScratchDir stage;
  return read_file(stage_samples(stage) + "/rididezuve.conf");
}

const std::vector<BootCase> kBootCases{
    {"installed", true, true, "", 1, true},
    {"not installed", false, true, "", 0, false},
    {"installed, hints file removed since", true, false, "", 1, false},
    {"installed, and loader.conf names the hints file too", true, true,
     "loader_conf_files=\"/boot/device.hints.qvd\"\n", 1, true},
};

TEST(LoaderReadBack, TheInstalledPackageMakesTheNextBootReadTheHintsFile) {
  if (const std::string missing = freebsd_loader::missing(); !missing.empty()) GTEST_SKIP() << missing;

  const ScratchDir stage;
  const std::string samples = stage_samples(stage);
  ASSERT_TRUE(file_exists(samples + "/rididezuve.conf"));
  ASSERT_TRUE(file_exists(samples + "/device.hints.qvd"));

  namespace fs = std::filesystem;
  for (const BootCase& test : kBootCases) {
    SCOPED_TRACE(test.name);
    const ScratchDir root;
    const std::string boot = root.file("boot");
    fs::create_directories(boot + "/defaults");
    fs::create_directories(boot + "/loader.conf.d");
    fs::copy_file(freebsd_loader::folder() + "/defaults-loader.conf", boot + "/defaults/loader.conf");
    if (test.installed) fs::copy_file(samples + "/rididezuve.conf", boot + "/loader.conf.d/rididezuve.conf");
    if (!test.loader_conf.empty()) write_file(boot + "/loader.conf", test.loader_conf);
    if (test.hints_file) {
      // A fresh host's first update works on the sample as installed.
      fs::copy_file(samples + "/device.hints.qvd", boot + "/device.hints.qvd");
      RunOptions options;
      options.driver = hints_e2e::four_cores();
      const ToolRun tool = run_tool(
          {"-s", "2", "--strip", "--flat", "--write-clock-hint", "-f", boot + "/device.hints.qvd"},
          options);
      ASSERT_EQ(tool.exit_status, 0) << tool.err;
      EXPECT_EQ(read_file(boot + "/device.hints.qvd.KxBak"), read_file(samples + "/device.hints.qvd"));
    }

    const freebsd_loader::Reading reading = freebsd_loader::read({"--root", root.path(), "--boot", "--kernel"});
    // The loader names each file it opens; a boot without the hints file, or
    // without the line, says nothing else.
    EXPECT_EQ(reading.status, 0) << reading.err;
    std::istringstream messages(reading.err);
    int loads = 0;
    for (std::string line; std::getline(messages, line);) {
      if (line == "loader: Loading /boot/device.hints.qvd") {
        ++loads;
      } else {
        EXPECT_EQ(line.rfind("loader: Loading /boot/", 0), 0u) << line;
      }
    }
    EXPECT_EQ(loads, test.loads);
    const std::map<std::uint32_t, std::string> verdicts = disable_verdicts(reading);
    if (test.hints_read) {
      EXPECT_EQ(verdicts, (std::map<std::uint32_t, std::string>{
                              {0, "cpu enabled"}, {2, "cpu enabled"}, {4, "cpu disabled"}, {6, "cpu disabled"}}));
      EXPECT_TRUE(has(reading.kernel, "kern.smp.topology: smp_topology = 2 (all cpus equal)"));
      EXPECT_TRUE(has(reading.kernel, "hint.apic.0.clock: LAPIC timer not registered"));
    } else {
      EXPECT_EQ(reading.kernel, std::vector<std::string>{});
    }
  }
}

// --verify over fake /boot trees. Each starts as the install leaves one, with
// a split in the hints file (APIC ids 4 and 6 withheld); a case then writes
// files (kGone removes one, kLoop makes it a link to itself, which not even
// root can read through, link_to() a symbolic link, kSparse a file of holes
// one byte past the 64 MiB --verify reads). The next-boot column must be the
// kernel's view of the whole tree, as the loader's own parser reads it.
const std::string kGone = "\x01gone";
const std::string kLoop = "\x01loop";
const std::string kSparse = "\x01sparse";
const std::string kLinkTo = "\x01link:";
std::string link_to(const std::string& target) { return kLinkTo + target; }
const std::string kSplit =
    "hint.lapic.0.disabled=\"0\"\nhint.lapic.2.disabled=\"0\"\nhint.lapic.4.disabled=\"1\"\n"
    "hint.lapic.6.disabled=\"1\"\n";

struct VerifyCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> files;  // path under the root, content
  std::vector<std::string> args;                           // after --verify --root DIR
  std::string err;                                         // the findings, exactly
  bool order_matters = false;  // the loader, listing loader.conf.d otherwise, boots otherwise
  // Written over the tree that the loader's parser reads instead: it joins
  // the root and a path as text (so reads this machine's files through an
  // absolute link or "..") and builds every value whole.
  std::vector<std::pair<std::string, std::string>> loader_view = {};
  bool small_stack = false;  // run in a 256 KiB stack, which a recursion per named file overflows
};

/// Where the doubling value passes the 65536 bytes kept, line after line.
std::string cut_after_text(int first, int last) {
  std::string err;
  for (int line = first; line <= last; ++line) {
    err += "\"/boot/loader.conf\" line " + std::to_string(line) +
           ": the value is not checked: it expands a value longer than 65536 bytes after other text\n";
  }
  return err;
}

std::vector<VerifyCase> verify_cases() {
  const std::string hints = "\"/boot/device.hints.qvd\"";
  const std::string unread = " is not read at the next boot: no loader_conf_files setting names it\n";
  const std::string loop = std::string(" cannot be read: ") + std::strerror(ELOOP) + "\n";
  const std::string differently =
      " set hint.lapic.6.disabled to values the kernel reads differently, and the boot loader reads "
      "\"/boot/loader.conf.d\" in the order its file system lists it\n";
  std::vector<VerifyCase> cases{
      {"as installed", {}, {}, ""},
      {"installed, a file named twice, read once",
       {{"/boot/loader.conf", "loader_conf_files=\"/boot/device.hints.qvd /boot/device.hints.qvd\"\n"}}, {}, ""},
      {"not installed", {{"/boot/loader.conf.d/rididezuve.conf", kGone}}, {}, hints + unread},
      {"-f elsewhere", {{"/etc/split.hints", kSplit}}, {"-f", "/etc/split.hints"},
       "\"/etc/split.hints\"" + unread},
      {"an override in loader.conf.local", {{"/boot/loader.conf.local", "hint.lapic.4.disabled=\"0\"\n"}}, {},
       "\"/boot/loader.conf.local\" line 1 sets hint.lapic.4.disabled after " + hints + "\n"},
      {"an override in a later loader.conf.d file",
       {{"/boot/loader.conf.d/zz-mine.conf", "# mine\r\n\n hint.lapic.6.disabled = 0 # on\n"}}, {},
       "\"/boot/loader.conf.d/zz-mine.conf\" line 3 sets hint.lapic.6.disabled after " + hints + "\n" +
           hints + " line 4 and \"/boot/loader.conf.d/zz-mine.conf\" line 3" + differently,
       true},
      {"an earlier loader.conf.d file that disagrees",
       {{"/boot/loader.conf.d/local.conf", "hint.lapic.6.disabled=\"0\"\n"}}, {},
       "\"/boot/loader.conf.d/local.conf\" line 1 and " + hints + " line 4" + differently, true},
      {"loader.conf.d files that agree",
       {{"/boot/loader.conf.d/local.conf", "hint.lapic.6.disabled=1\nhint.lapic.2.disabled=\"00\"\n"}}, {}, ""},
      {"clock and topology undone in loader.conf.local",
       {{"/boot/device.hints.qvd", kSplit + "hint.apic.4.clock=\"0\"\nkern.smp.topology=\"2\"\n"},
        {"/boot/loader.conf.local", "kern.smp.topology=\"1\"\nhint.apic.4.clock=\"1\"\n"}}, {},
       "\"/boot/loader.conf.local\" line 2 sets hint.apic.4.clock after " + hints +
           "\n\"/boot/loader.conf.local\" line 1 sets kern.smp.topology after " + hints + "\n"},
      {"an earlier clock spelling the kernel reads first",
       {{"/boot/device.hints.qvd", kSplit + "hint.apic.4.clock=\"0\"\n"},
        {"/boot/loader.conf", "hint.apic.04.clock=\"1\"\n"}}, {},
       "\"/boot/loader.conf\" line 1 sets hint.apic.04.clock and " + hints + " does not override it\n"},
      {"SMP turned off", {{"/boot/loader.conf", "kern.smp.disabled=\"1\"\n"}}, {},
       "\"/boot/loader.conf\" line 1 sets kern.smp.disabled: the next boot starts one processor, "
       "whatever the hints say\n"},
      {"an earlier spelling the kernel reads first", {{"/boot/loader.conf", "hint.lapic.04.disabled=0"}}, {},
       "\"/boot/loader.conf\" line 1 sets hint.lapic.04.disabled and " + hints + " does not override it\n"},
      {"named early, so an earlier loader.conf.d file overrides it",
       {{"/boot/loader.conf", "loader_conf_files=\"/boot/device.hints.qvd\"\n"},
        {"/boot/loader.conf.d/aa.conf", "hint.lapic.6.disabled=\"0\"\n"}}, {},
       "\"/boot/loader.conf.d/aa.conf\" line 1 sets hint.lapic.6.disabled after " + hints + "\n"},
      {"a pending nextboot file",
       {{"/boot/loader.conf", "nextboot_conf=\"/boot/nextboot.conf\"\n"},
        {"/boot/nextboot.conf", "nextboot_enable=\"YES\"\nhint.lapic.4.disabled=\"0\"\n"}}, {},
       "\"/boot/nextboot.conf\" line 2 sets hint.lapic.4.disabled after " + hints + "\n"},
      {"lines the loader rejects",
       {{"/boot/device.hints.qvd", kSplit + "\r\n# odd\nhint.lapic.2.disabled=\"0\";\nkern.smp.topology 2"}}, {},
       hints + " line 7: the boot loader reads no setting from this line\n" + hints +
           " line 8: the boot loader reads no setting from this line\n"},
      {"no hints file", {{"/boot/device.hints.qvd", kGone}}, {}, hints + " does not exist\n"},
      {"an unreadable folder",
       {{"/boot/loader.conf", "loader_conf_files=\"/boot/device.hints.qvd\"\n"}, {"/boot/loader.conf.d", kLoop}}, {},
       "\"/boot/loader.conf.d\"" + loop},
      {"an unreadable /boot", {{"/boot", kLoop}}, {},
       hints + loop + hints + unread + "\"/boot/defaults/loader.conf\"" + loop},
      // Files that exist on this machine too, which must not be read.
      {"absolute links inside the root",
       {{"/boot/device.hints.qvd", link_to("/etc/hostname")}, {"/etc/hostname", kSplit},
        {"/boot/loader.conf.local", link_to("/etc/passwd")}, {"/etc/passwd", "hint.lapic.4.disabled=\"0\"\n"}},
       {}, "\"/boot/loader.conf.local\" line 1 sets hint.lapic.4.disabled after " + hints + "\n", false,
       {{"/boot/device.hints.qvd", kSplit}, {"/boot/loader.conf.local", "hint.lapic.4.disabled=\"0\"\n"}}},
      {"\"..\" above the root stays at the root",
       {{"/boot/loader.conf.local", "loader_conf_files=\"/boot/../../x\"\n"}, {"/x", "hint.lapic.6.disabled=0\n"}},
       {}, "\"/boot/../../x\" line 1 sets hint.lapic.6.disabled after " + hints + "\n", false,
       {{"/boot/loader.conf.local", "loader_conf_files=\"/x\"\n"}}},
      {"a product folder as product_vars named it before loader.conf.d changed it",
       {{"/boot/loader.conf", "product_vars=\"p\"\np=\"x\"\n"}, {"/boot/loader.conf.d/zz.conf", "p=\"y\"\n"},
        {"/boot/loader.conf.d/x/a.conf", "hint.lapic.6.disabled=\"0\"\n"},
        {"/boot/loader.conf.d/y/a.conf", "hint.lapic.4.disabled=\"0\"\n"}},
       {}, "\"/boot/loader.conf.d/x/a.conf\" line 1 sets hint.lapic.6.disabled after " + hints + "\n"},
      {"a file of holes past the bytes read",
       {{"/boot/loader.conf.local", kSparse}}, {},
       "\"/boot/loader.conf.local\" is not read: it would take the files read past 64 MiB\n", false,
       {{"/boot/loader.conf.local", ""}}},
  };

  // A chain of files, each naming the next, read in a small stack, past the
  // 4096 files and folders read.
  VerifyCase chain{"a chain of 4100 files",
                   {{"/boot/loader.conf", "loader_conf_files=\"/boot/device.hints.qvd /boot/c1\"\n"}},
                   {},
                   "\"/boot/c4093\" is not read: 4096 files and folders come before it, the most that are read\n"
                   "\"/boot/c3000\" line 2 sets hint.lapic.4.disabled after " + hints + "\n",
                   false, {}, true};
  for (int i = 1; i <= 4100; ++i) {
    std::string text = "loader_conf_files=\"/boot/c" + std::to_string(i + 1) + "\"\n";
    if (i == 3000) text += "hint.lapic.4.disabled=\"0\"\n";
    chain.files.emplace_back("/boot/c" + std::to_string(i), text);
  }
  cases.push_back(std::move(chain));
  // Values that double each line, and one that grows by a byte each line.
  std::string doubling = "a=\"0123456789abcdef\"\n";
  for (int i = 0; i < 40; ++i) doubling += "a=\"$a$a\"\n";
  cases.push_back({"41 lines doubling a value", {{"/boot/loader.conf", doubling}}, {}, cut_after_text(15, 41), false,
                   {{"/boot/loader.conf", ""}}});
  std::string growing;
  for (int i = 0; i < 20000; ++i) growing += "a=\"${a}x\"\n";
  cases.push_back({"20000 lines appending to a value", {{"/boot/loader.conf", growing}}, {},
                   "\"/boot/loader.conf\" line 11586: the value is not checked: $name expansions have copied 64 MiB, "
                   "and no more are made\n"});
  // Distinct names past those kept, after the six that the tree sets before.
  std::string names;
  for (int i = 0; i < 16400; ++i) names += "v" + std::to_string(i) + "=1\n";
  cases.push_back({"16400 names set", {{"/boot/loader.conf.local", names}}, {},
                   "\"/boot/loader.conf.local\" line 16379: the setting is not kept: 16384 names are set before it, "
                   "and no more are kept\n"});
  return cases;
}

void build_tree(const std::string& root, const std::vector<std::pair<std::string, std::string>>& files) {
  namespace fs = std::filesystem;
  fs::create_directories(root + "/boot/defaults");
  fs::create_directories(root + "/boot/loader.conf.d");
  fs::create_directories(root + "/etc");
  fs::copy_file(freebsd_loader::folder() + "/defaults-loader.conf", root + "/boot/defaults/loader.conf");
  write_file(root + "/boot/loader.conf.d/rididezuve.conf", installed_loader_conf());
  write_file(root + "/boot/device.hints.qvd", kSplit);
  for (const auto& [path, content] : files) {
    const std::string full = root + path;
    const bool link = content == kLoop || content.starts_with(kLinkTo);
    if (content == kGone || link || fs::is_symlink(full)) fs::remove_all(full);
    fs::create_directories(fs::path(full).parent_path());
    if (content == kLoop) {
      fs::create_symlink(fs::path(full).filename(), full);
    } else if (content.starts_with(kLinkTo)) {
      fs::create_symlink(content.substr(kLinkTo.size()), full);
    } else if (content == kSparse) {
      write_file(full, "");
      fs::resize_file(full, (std::uintmax_t{64} << 20) + 1);
    } else if (content != kGone) {
      write_file(full, content);
    }
  }
}

TEST(LoaderReadBack, VerifyFindsWhatKeepsTheNextBootFromTheHintsFile) {
  if (const std::string missing = freebsd_loader::missing(); !missing.empty()) GTEST_SKIP() << missing;

  for (const VerifyCase& test : verify_cases()) {
    SCOPED_TRACE(test.name);
    const ScratchDir root;
    build_tree(root.path(), test.files);
    std::vector<std::string> args{"--verify", "--root", root.path()};
    args.insert(args.end(), test.args.begin(), test.args.end());
    RunOptions options;
    options.driver = hints_e2e::four_cores();
    if (test.small_stack) options.prefix = {"prlimit", "--stack=262144"};
    const ToolRun tool = run_tool(args, options);

    EXPECT_EQ(tool.exit_status, test.err.empty() ? 0 : 1);
    EXPECT_EQ(tool.err, test.err);
    EXPECT_EQ(tool.out.rfind("  CPU | LApic-ID | mode now | mode next boot\r\n-", 0), 0u) << tool.out;
    const ScratchDir view;
    if (!test.loader_view.empty()) {
      std::vector<std::pair<std::string, std::string>> files = test.files;
      files.insert(files.end(), test.loader_view.begin(), test.loader_view.end());
      build_tree(view.path(), files);
    }
    const freebsd_loader::Reading reading =
        freebsd_loader::read({"--root", test.loader_view.empty() ? root.path() : view.path(), "--boot", "--kernel"});
    ASSERT_NE(reading.status, 2) << reading.err;
    EXPECT_EQ(next_boot_column(tool.out), kernel_split(reading)) << reading.err;
    if (test.order_matters) {
      // Another file system's listing, as the loader would get it, boots otherwise.
      const ScratchDir bin;
      write_file(bin.file("ls"), "#!/bin/sh\n/bin/ls \"$@\" | sort -r\n");
      std::filesystem::permissions(bin.file("ls"), std::filesystem::perms::owner_all);
      const freebsd_loader::Reading reversed =
          freebsd_loader::read({"--root", root.path(), "--boot", "--kernel"}, bin.path());
      EXPECT_NE(next_boot_column(tool.out), kernel_split(reversed)) << reversed.err;
    }
  }
}

/// A hand-edited file with long lines, one generated line at a time; `other`
/// says the loader reads none of the three hints from it, so an update must
/// keep it byte for byte.
struct LongLine {
  std::string text;
  bool other;
};

/// Hints before, across and after byte 2047 of their line: long indents,
/// values and comments straddling it, NUL bytes where the loader and the
/// kernel agree on them (comments, values of names no hint expands,
/// malformed lines), and $name read from names set before, after or nowhere.
std::vector<LongLine> random_long_lines(std::mt19937& random) {
  const auto number = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  const auto pick = [&](const std::vector<std::string>& from) {
    return from[static_cast<std::size_t>(number(0, static_cast<int>(from.size()) - 1))];
  };
  // Short, or long enough to push what follows across or past byte 2047.
  const auto blanks = [&] {
    const int length = std::vector<int>{0, 0, 1, 3, number(2000, 2060), number(3000, 4600)}[number(0, 5)];
    std::string run;
    for (int i = 0; i < length; ++i) run += random() % 8 == 0 ? '\t' : ' ';
    return run;
  };
  const std::vector<std::string> ids{"0", "2", "4", "6", "9", "02", "04", "004", "06"};
  const std::vector<std::string> numbers{"0", "1", "2", "0x1", "08", "-1", "yes"};
  const std::vector<std::string> references{"${v1}", "$v2", "${v3}", "${unset}", "$v1$v2"};
  std::vector<LongLine> lines;
  const int count = number(1, 10);
  for (int i = 0; i < count; ++i) {
    const std::string indent = random() % 3 == 0 ? blanks() : "";
    const std::string name =
        pick({"hint.lapic." + pick(ids) + ".disabled", "hint.lapic." + pick(ids) + ".disabled",
              "hint.apic." + pick(ids) + ".clock", "kern.smp.topology"});
    const std::string comment = pick({"", "#", "# note", std::string("# a\0b", 5), "# " + name + "=1"});
    switch (number(0, 9)) {
      case 0:
        lines.push_back({indent + "#" + blanks() + pick({"", name + "=\"1\"", std::string("\0", 1)}), true});
        break;
      case 1:  // names no hint reads or expands
        lines.push_back({indent + pick({"note=\"a", "hint.acpi.0.disabled=\"1"}) +
                             pick({"", std::string("\0", 1) + "1"}) + "\"" + blanks() + comment,
                         true});
        break;
      case 2:  // the values hints expand
        lines.push_back({indent + "v" + std::to_string(number(1, 3)) + "=" +
                             pick({"\"" + pick(numbers) + "\"", pick(numbers), "\" 1\"", "\"\""}) + blanks() +
                             comment,
                         true});
        break;
      case 3:  // malformed: a word or a NUL after the value, or a bad $; indented or
               // long, so that no scanf form takes them either
        lines.push_back({pick({" ", "\t", blanks() + " "}) + name +
                             pick({"=\"1\"" + blanks() + pick({"x", std::string("\0", 1), "\"", ";"}),
                                   "=\"1$\"" + blanks(), "=\"${1\"" + blanks()}),
                         true});
        lines.push_back({name + "=\"1\"" + std::string(2100, ' ') + pick({"x", std::string("\0 # c", 5)}), true});
        break;
      default: {
        const std::string value = pick(numbers);
        const std::string inner = pick({value, blanks() + value, value + blanks(), pick(references),
                                        pick(references) + value, blanks() + pick(references)});
        lines.push_back({indent + name + pick({"=", " = ", "\t=\t"}) +
                             (random() % 4 == 0 ? value : "\"" + inner + "\"") + blanks() + comment,
                         false});
        break;
      }
    }
  }
  return lines;
}

/// A file's bytes for a failure message: odd bytes escaped, long runs counted.
std::string shown(const std::string& text) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t run = std::min(text.find_first_not_of(text[at], at), text.size()) - at;
    const char c = text[at];
    const std::string one = c == '\0' ? "\\0" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : std::string(1, c);
    if (run > 8) {
      out += "<" + std::to_string(run) + " x " + one + ">";
    } else {
      for (std::size_t i = 0; i < run; ++i) out += one;
    }
    at += run;
  }
  return out;
}

/// Lines of a text without their line feeds.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Random files with long lines: --show, --verify over a /boot that holds only
// the defaults, the package's loader.conf.d file and the hints file, and the
// loader's own parser must agree on every core; an update must give exactly
// the split asked for and keep every line that is not one of the hints.
TEST(LoaderReadBack, RandomLongLineFileSweepAgreesWithTheLoader) {
  if (const std::string missing = freebsd_loader::missing(); !missing.empty()) GTEST_SKIP() << missing;

  constexpr std::uint32_t kSeed = 20261209;
  std::mt19937 random(kSeed);
  const ScratchDir root;
  build_tree(root.path(), {});
  const std::string hints = root.file("boot/device.hints.qvd");
  const std::string written = root.file("written");
  RunOptions options;
  options.driver = hints_e2e::four_cores();
  for (int round = 0; round < 200; ++round) {
    std::vector<LongLine> lines = random_long_lines(random);
    std::string input;
    for (LongLine& line : lines) {
      if (random() % 5 == 0) line.text += '\r';
      input += line.text + '\n';
    }
    // Now and then a last line without its line feed.
    if (random() % 4 == 0) input.pop_back();
    SCOPED_TRACE("seed " + std::to_string(kSeed) + ", round " + std::to_string(round) + ", input:\n" +
                 shown(input));
    write_file(hints, input);

    const std::string loader = kernel_split(freebsd_loader::read({"--kernel", hints}));
    EXPECT_EQ(report_of(hints), loader) << "--show";
    const ToolRun verify = run_tool({"--verify", "--root", root.path()}, options);
    EXPECT_TRUE(verify.exit_status == 0 || verify.exit_status == 1) << verify.err;
    EXPECT_EQ(next_boot_column(verify.out), loader) << "--verify";

    const std::uint32_t shared = std::uniform_int_distribution<std::uint32_t>(0, 4)(random);
    const ToolRun update = run_tool({"-s", std::to_string(shared), "--stdout", "-f", hints}, options);
    ASSERT_EQ(update.exit_status, 0) << update.err;
    write_file(written, update.out);
    std::string split;
    for (std::uint32_t i = 0; i < kCores.size(); ++i) split += i < std::max(shared, 1u) ? 'S' : 'I';
    EXPECT_EQ(kernel_split(freebsd_loader::read({"--kernel", written})), split) << shown(update.out);

    // The other lines come out unchanged and in their order.
    const std::vector<std::string> out_lines = lines_of(update.out);
    auto next = out_lines.begin();
    for (const LongLine& line : lines) {
      if (!line.other) continue;
      next = std::find(next, out_lines.end(), line.text);
      if (next == out_lines.end()) {
        ADD_FAILURE() << "not kept: " << shown(line.text) << "\nwritten:\n" << shown(update.out);
        break;
      }
      ++next;
    }
  }
}

}  // namespace
