// SPDX-License-Identifier: BSD-2-Clause
// --sysxml run for real: this machine's processor and operating system, and,
// where qemu-user is installed, an emulated Intel processor.

#include <sys/utsname.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "linux_facts.h"
#include "scratch_dir.h"
#include "tool_runner.h"

namespace {

constexpr std::array<const char*, 20> kAttributeOrder{
    "CpuBrandString", "CpuString", "CpuStepping", "CpuModel",
    "OSIdentifier", "OSVersion", "Hostname", "OSArchitecture",
    "TotalMemory", "MemoryBarInfo", "NumMemoryBars", "BIOSVersion", "BoardInfo",
    "L2CacheSize", "L2CacheAssoc", "L2CacheAmount",
    "L3CacheSize", "L3CacheAssoc", "L3CacheAmount", "GraphicsDriverVersion"};

constexpr std::array<const char*, 12> kAlwaysWritten{
    "CpuModel", "OSIdentifier", "OSVersion", "Hostname", "OSArchitecture", "MemoryBarInfo",
    "NumMemoryBars", "BIOSVersion", "BoardInfo", "L2CacheSize", "L3CacheSize",
    "GraphicsDriverVersion"};

struct Document {
  std::vector<std::string> names;             // in document order
  std::map<std::string, std::string> values;  // raw, still escaped
};

// Checks the element's frame and line ends and returns its attributes.
Document parse_document(const std::string& out) {
  Document document;
  EXPECT_EQ(out.rfind("<SystemInformation\r\n", 0), 0U) << out;
  const std::string closing = "\tGraphicsDriverVersion=\"Unknown\"\r\n/>\r\n";
  EXPECT_TRUE(out.size() >= closing.size() && out.compare(out.size() - closing.size(), closing.size(), closing) == 0)
      << out;
  std::size_t start = out.find("\r\n") + 2;
  for (std::size_t end; (end = out.find("\r\n", start)) != std::string::npos; start = end + 2) {
    const std::string line = out.substr(start, end - start);
    if (line == "/>") break;
    const std::size_t equals = line.find("=\"");
    EXPECT_TRUE(line.size() > 3 && line[0] == '\t' && equals != std::string::npos && line.back() == '"')
        << "line: " << line;
    if (equals == std::string::npos) continue;
    const std::string name = line.substr(1, equals - 1);
    document.names.push_back(name);
    document.values[name] = line.substr(equals + 2, line.size() - equals - 3);
  }
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), static_cast<long>(document.names.size() + 2))
      << "every line ends with \\r\\n and nothing else breaks a line";
  return document;
}

void expect_known_order(const Document& document) {
  auto next = kAttributeOrder.begin();
  for (const std::string& name : document.names) {
    next = std::find(next, kAttributeOrder.end(), name);
    ASSERT_NE(next, kAttributeOrder.end()) << name << " is unknown or out of order";
    ++next;
  }
  for (const char* name : kAlwaysWritten) {
    EXPECT_EQ(document.values.count(name), 1U) << name;
  }
}

std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '"': out += "&quot;"; break;
      case '&': out += "&amp;"; break;
      case '\'': out += "&apos;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

// The memcheck pass runs the tool under a wrapper whose emulated cpuid
// answers as some other processor, so only then is Linux's view not the tool's.
bool wrapped_processor() {
  const char* wrapper = std::getenv("RIDIDEZUVE_TEST_WRAPPER");
  return wrapper != nullptr && *wrapper != '\0';
}

ToolRun sysxml(const std::string& ids, std::vector<std::string> prefix = {}) {
  RunOptions options;
  options.driver.ids = ids;
  options.driver.shared = "1";
  options.prefix = std::move(prefix);
  return run_tool({"--sysxml"}, options);
}

TEST(SysxmlEndToEnd, DescribesThisMachine) {
  const ToolRun run = sysxml("0,2,4,6");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const Document document = parse_document(run.out);
  expect_known_order(document);

  utsname system{};
  ASSERT_EQ(uname(&system), 0);
  std::string machine = system.machine;
  std::transform(machine.begin(), machine.end(), machine.begin(),
                 [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 0x20) : c; });
  auto values = document.values;
  EXPECT_EQ(values["OSIdentifier"], escaped(system.sysname));
  EXPECT_EQ(values["OSVersion"], escaped(system.release));
  EXPECT_EQ(values["Hostname"], escaped(system.nodename));
  EXPECT_EQ(values["OSArchitecture"], escaped(machine));
  const auto bytes = static_cast<unsigned long long>(sysconf(_SC_PHYS_PAGES)) *
                     static_cast<unsigned long long>(sysconf(_SC_PAGESIZE));
  EXPECT_EQ(values["TotalMemory"], std::to_string(bytes >> 10));
  for (const char* name : {"CpuModel", "MemoryBarInfo", "NumMemoryBars"}) {
    EXPECT_EQ(values[name], "Unknown") << name;
  }

  const std::string vendor = cpuid_vendor();
  if (wrapped_processor()) {
    // The wrapper's processor: nothing to compare with.
  } else if (vendor == "GenuineIntel" || vendor == "AuthenticAMD") {
    EXPECT_EQ(values["CpuBrandString"], vendor);
  } else {
    EXPECT_EQ(document.values.count("CpuBrandString"), 0U);
  }
}

// Linux reads the same cache leaves; where it shows a unified cache of a
// level, the report must agree on its size and ways.
TEST(SysxmlEndToEnd, CachesAgreeWithLinux) {
  if (wrapped_processor()) GTEST_SKIP() << "the wrapper's processor is not the one Linux describes";
  const ToolRun run = sysxml("0");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const Document document = parse_document(run.out);
  int compared = 0;
  for (int index = 0; index < 16; ++index) {
    const std::string dir = "/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index) + "/";
    const std::string level = read_first_line(dir + "level");
    if (read_first_line(dir + "type") != "Unified" || (level != "2" && level != "3")) continue;
    std::string size = read_first_line(dir + "size");  // e.g. "1024K"
    ASSERT_FALSE(size.empty());
    ASSERT_EQ(size.back(), 'K');
    size.pop_back();
    const std::string prefix = "L" + level;
    EXPECT_EQ(document.values.at(prefix + "CacheSize"), size);
    EXPECT_EQ(document.values.at(prefix + "CacheAssoc"), read_first_line(dir + "ways_of_associativity"));
    ++compared;
  }
  if (compared == 0) GTEST_SKIP() << "Linux shows no unified level-2 or level-3 cache here";
}

// Ids this far apart never share a cache, whatever the sharing mask.
TEST(SysxmlEndToEnd, CountsEachDistinctIdOnce) {
  const ToolRun run = sysxml("0,4096,8192,8192");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const Document document = parse_document(run.out);
  for (const std::string level : {"L2", "L3"}) {
    if (document.values.count(level + "CacheAssoc") == 0) {
      EXPECT_EQ(document.values.at(level + "CacheSize"), "0");
      EXPECT_EQ(document.values.count(level + "CacheAmount"), 0U);
    } else {
      EXPECT_EQ(document.values.at(level + "CacheAmount"), "3") << level;
    }
  }
}

std::string without_amounts(const std::string& out) {
  std::string kept;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("CacheAmount=") == std::string::npos) kept += line + "\n";
  }
  return kept;
}

// Every allocation of a --sysxml run failing in turn: either the driver query
// fails, or the document is whole, short only of the amount lines whose
// scratch set could not be had.
TEST(SysxmlEndToEnd, AllocationFailureSweep) {
  if (*FAIL_MALLOC_LIBRARY == '\0') GTEST_SKIP() << "the sanitizers own the heap in this build";
  const ScratchDir scratch;
  RunOptions options;
  options.driver.ids = "0,4096,8192";
  options.preload = {FAIL_MALLOC_LIBRARY};
  options.environment = {{"FAIL_MALLOC_COUNT", scratch.file("count")}};
  const ToolRun whole = run_tool({"--sysxml"}, options);
  ASSERT_EQ(whole.exit_status, 0) << whole.err;
  const int calls = std::stoi(read_file(scratch.file("count")));
  ASSERT_GT(calls, 0);

  long amounts_dropped = 0;
  for (int k = 1; k <= calls; ++k) {
    options.environment = {{"FAIL_MALLOC_AT", std::to_string(k)}};
    const ToolRun run = run_tool({"--sysxml"}, options);
    if (run.exit_status == 254) {
      EXPECT_EQ(run.out, "") << "allocation " << k;
      EXPECT_EQ(run.err, "error query apic-ids\n") << "allocation " << k;
      continue;
    }
    ASSERT_EQ(run.exit_status, 0) << "allocation " << k << ": " << run.err;
    EXPECT_EQ(run.err, "") << "allocation " << k;
    EXPECT_EQ(without_amounts(run.out), without_amounts(whole.out)) << "allocation " << k;
    if (run.out.size() < whole.out.size()) ++amounts_dropped;
  }
  // One failure per level's scratch set, for each level with an amount line.
  const std::string kept = without_amounts(whole.out);
  const auto levels = std::count(whole.out.begin(), whole.out.end(), '\n') -
                      std::count(kept.begin(), kept.end(), '\n');
  EXPECT_EQ(amounts_dropped, levels);
}

// --- the real cpuid path on a processor this machine is not ---

constexpr char kQemu[] = "qemu-x86_64";
constexpr char kIntelModel[] = "Skylake-Client-v1";

bool have_qemu() {
  return std::system("command -v qemu-x86_64 >/dev/null 2>&1") == 0;
}

// The model's brand string as qemu lists it ("x86 NAME   DESCRIPTION").
std::string qemu_model_description(const std::string& model) {
  const std::string command = std::string(kQemu) + " -cpu help";
  const std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string listing;
  char chunk[4096];
  for (std::size_t got; pipe && (got = std::fread(chunk, 1, sizeof chunk, pipe.get())) > 0;) {
    listing.append(chunk, got);
  }
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string arch, name;
    words >> arch >> name;
    if (name == model) {
      std::string description;
      std::getline(words >> std::ws, description);
      return description;
    }
  }
  return "";
}

// run_tool hands over "/usr/bin/env LD_PRELOAD=... tool args"; qemu-user runs
// one program only, so the preload goes to the emulated process with -E.
std::vector<std::string> qemu_prefix(const std::string& model) {
  return {"/bin/sh", "-c", "shift; preload=$1; shift; exec qemu-x86_64 -cpu \"$0\" -E \"$preload\" \"$@\"",
          model};
}

TEST(SysxmlEndToEnd, ReadsAnEmulatedIntelProcessor) {
  if (!have_qemu()) GTEST_SKIP() << "qemu-x86_64 is not installed (Debian package qemu-user)";
  if (wrapped_processor()) GTEST_SKIP() << "qemu-user cannot run the wrapper";
#if RIDIDEZUVE_SANITIZED
  GTEST_SKIP() << "the sanitizers' shadow memory does not fit under qemu-user";
#endif
  const ToolRun run = sysxml("0,4096,8192,12288", qemu_prefix(kIntelModel));
  ASSERT_EQ(run.exit_status, 0) << run.err;
  Document document = parse_document(run.out);
  expect_known_order(document);
  EXPECT_EQ(document.values["CpuBrandString"], "GenuineIntel");
  const std::string brand = qemu_model_description(kIntelModel);
  ASSERT_FALSE(brand.empty()) << "qemu does not list " << kIntelModel;
  EXPECT_EQ(document.values["CpuString"], escaped(brand));
  // Leaf 4 describes both levels; every id is its own instance.
  for (const std::string level : {"L2", "L3"}) {
    EXPECT_EQ(document.values.count(level + "CacheAssoc"), 1U) << level;
    EXPECT_EQ(document.values[level + "CacheAmount"], "4") << level;
  }
}

}  // namespace
