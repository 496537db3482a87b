// SPDX-License-Identifier: BSD-2-Clause
// The update as root in a hostile or unlucky place: names planted by another
// user where the backup goes, files that are not regular, the umask, signals at
// any moment and a stop that cannot be caught in the middle of the copy back.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "hints_e2e_support.h"
#include "scratch_dir.h"
#include "tool_runner.h"
#include "worked_example.h"

namespace {

using hints_e2e::four_cores;
using hints_e2e::names_in;

const std::string& kOld = worked_example::kInput;
const std::string& kNew = worked_example::kWithoutModifiers;

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

struct stat status_of(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
  return status;
}

class HintsSafety : public hints_e2e::AsRoot {
 protected:
  /// A world-writable sticky folder, as /tmp is, holding the hints file.
  std::string sticky_folder(const std::string& name) {
    const std::string path = folder(name, 01777);
    write_file(path + "/hints", kOld);
    return path;
  }

  ToolRun update(const std::string& hints, std::vector<std::string> prefix = {"timeout", "60"}) {
    RunOptions options;
    options.driver = four_cores();
    options.prefix = std::move(prefix);
    return run_tool({"-s", "2", "-f", hints}, options);
  }
};

TEST_F(HintsSafety, NamesPlantedAtTheBackupAndTheMarkerAreReplacedOrMovedNeverFollowed) {
  const std::string secret = dir.file("secret");
  write_file(secret, "root only\n");
  ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
  const std::string as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  const std::vector<std::string> backup{"hints.KxBak"}, marker{"hints.KxCpy"},
      both{"hints.KxBak", "hints.KxCpy"};
  // FreeBSD lets any user hard-link another user's file; Linux does not, so
  // the hard links are made as root. A link count drops back to one when the
  // original is replaced by rename, as password databases are.
  const struct {
    const char* name;
    const char* plant;  // shell words, run in the folder; $S is the secret
    std::vector<std::string> moved;  // names that are not regular files: moved aside
  } cases[] = {
      {"link to a root-only file", "nobody: ln -s \"$S\" hints.KxBak", backup},
      {"dangling link", "nobody: ln -s ../made-by-root hints.KxBak", backup},
      {"hard link to a root-only file", "root: ln \"$S\" hints.KxBak", {}},
      {"FIFO", "nobody: mkfifo hints.KxBak", backup},
      {"link to the hints file", "nobody: ln -s hints hints.KxBak", backup},
      {"hard link to the hints file", "root: ln hints hints.KxBak", {}},
      {"copy-back marker of another user", "nobody: touch hints.KxCpy", {}},
      {"folder at the backup", "nobody: mkdir hints.KxBak", backup},
      {"folder at the marker", "nobody: mkdir hints.KxCpy", marker},
      {"folders at both, not empty", "nobody: mkdir hints.KxBak hints.KxCpy && touch hints.KxCpy/x",
       both},
      {"root-only files at both, their other names replaced",
       "root: for n in KxBak KxCpy; do cp -p \"$S\" s && ln s hints.$n && rm s; done", {}},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = sticky_folder("sticky" + std::to_string(index++));
    const std::string hints = folder + "/hints";
    const ino_t inode = status_of(hints).st_ino;
    const std::string plant = c.plant;
    const bool by_nobody = plant.rfind("nobody: ", 0) == 0;
    ASSERT_TRUE(shell("cd '" + folder + "' && S='" + secret + "' " + (by_nobody ? as_nobody : "") +
                      "sh -c '" + plant.substr(plant.find(' ') + 1) + "'"));

    // A planted marker is never taken for an interrupted update.
    RunOptions options;
    options.driver = four_cores();
    EXPECT_EQ(run_tool({"--show", "-f", hints}, options).err, "");
    const ToolRun tool = update(hints);
    EXPECT_EQ(tool.exit_status, 0);
    EXPECT_EQ(tool.out, "");
    std::string expected_err;
    std::vector<std::string> expected_names{"hints", "hints.KxBak"};
    for (const std::string& name : c.moved) {
      const std::string line = "moved \"" + folder + "/" + name + "\" aside to \"" + folder + "/";
      const std::size_t at = tool.err.find(line);
      ASSERT_NE(at, std::string::npos) << tool.err;
      const std::string aside = tool.err.substr(at + line.size(), 18);
      ASSERT_EQ(aside.rfind("hints.KxTmp.", 0), 0u) << aside;
      expected_err += line + aside + "\": it was not a regular file\n";
      EXPECT_FALSE(S_ISREG(status_of(folder + "/" + aside).st_mode));
      expected_names.push_back(aside);
    }
    std::sort(expected_names.begin(), expected_names.end());
    EXPECT_EQ(tool.err, expected_err);
    EXPECT_EQ(read_file(hints), kNew);
    EXPECT_EQ(status_of(hints).st_ino, inode);
    EXPECT_EQ(read_file(hints + ".KxBak"), kOld);
    EXPECT_TRUE(S_ISREG(status_of(hints + ".KxBak").st_mode));
    EXPECT_EQ(status_of(hints + ".KxBak").st_nlink, 1u);
    EXPECT_EQ(read_file(secret), "root only\n");
    EXPECT_FALSE(file_exists(dir.file("made-by-root")));
    EXPECT_EQ(names_in(folder), expected_names);
  }
}

TEST_F(HintsSafety, BackupTakesTheHintsFilesModeAndOwnerWhateverTheUmask) {
  const struct {
    const char* umask;
    mode_t mode;
  } cases[] = {{"022", 0600}, {"000", 0600}, {"000", 0640}, {"077", 0644}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("umask ") + c.umask);
    const std::string hints = dir.file("hints");
    write_file(hints, kOld);
    ASSERT_EQ(chmod(hints.c_str(), c.mode), 0);
    ASSERT_EQ(chown(hints.c_str(), 65534, 65534), 0);
    std::remove((hints + ".KxBak").c_str());
    const ToolRun tool =
        update(hints, {"sh", "-c", std::string("umask ") + c.umask + " && exec \"$@\"", "sh"});
    EXPECT_EQ(tool.exit_status, 0);
    const struct stat backup = status_of(hints + ".KxBak");
    EXPECT_EQ(backup.st_mode & 07777, c.mode);
    EXPECT_EQ(backup.st_uid, 65534u);
    EXPECT_EQ(backup.st_gid, 65534u);
    EXPECT_EQ(status_of(hints).st_mode & 07777, c.mode);
  }
}

// The update, --show and --stdout refuse at once what is not a regular file:
// a FIFO with no writer would hold them for ever, /dev/zero never ends. The
// readers name it as a file that will not open; --show reports all the same.
TEST_F(HintsSafety, WhatIsNotARegularFileIsRefusedWithoutWaiting) {
  const std::string fifo = dir.file("fifo"), folder = dir.file("folder"), zero = dir.file("zero");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  RunOptions options;
  options.driver = four_cores();
  options.prefix = {"timeout", "60"};
  const std::string report = run_tool({"--show", "-f", dir.file("absent")}, options).out;
  ASSERT_EQ(report.rfind("error opening \"", 0), 0u);
  for (const std::string& path : {fifo, folder, std::string("/dev/null"), std::string("/dev/zero"), zero}) {
    SCOPED_TRACE(path);
    const ToolRun tool = update(path);
    EXPECT_EQ(tool.exit_status, 251);
    EXPECT_EQ(tool.out, "");
    EXPECT_EQ(tool.err, "error creating backup file of \"" + path + "\"\n");
    EXPECT_FALSE(file_exists(path + ".KxBak"));
    const std::string refused = "error opening \"" + path + "\"\n";
    const ToolRun show = run_tool({"--show", "-f", path}, options);
    EXPECT_EQ(show.exit_status, 0);
    EXPECT_EQ(show.out, refused + report.substr(report.find('\n') + 1));
    const ToolRun dry_run = run_tool({"-d", "--stdout", "-f", path}, options);
    EXPECT_EQ(dry_run.exit_status, path == folder ? EISDIR : EINVAL);
    EXPECT_EQ(dry_run.out, refused);
    EXPECT_EQ(show.err + dry_run.err, "");
  }
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"fifo", "folder", "zero"}));
  EXPECT_EQ(names_in(folder), std::vector<std::string>{});
}

// A stop between the placeholder folder and the rename that moves a planted
// folder aside into its place leaves the placeholder, empty and root's: the
// next update removes it, and keeps the planted folder it moves aside.
TEST_F(HintsSafety, APlaceholderFolderLeftByAStopGoesWithTheNextUpdate) {
  if (std::getenv("RIDIDEZUVE_TEST_WRAPPER") != nullptr) GTEST_SKIP() << "strace under a wrapper";
  if (!shell("strace -V >/dev/null 2>&1")) GTEST_SKIP() << "needs strace";
  const std::string folder = sticky_folder("sticky");
  ASSERT_TRUE(shell("setpriv --reuid=65534 --regid=65534 --clear-groups mkdir '" + folder + "/hints.KxCpy'"));
  ASSERT_EQ(update(folder + "/hints", {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=rename",
                                      "-e", "inject=rename:signal=KILL:when=1"}).signal, SIGKILL);
  ASSERT_EQ(names_in(folder).size(), 3u);
  const ToolRun tool = update(folder + "/hints");
  EXPECT_EQ(tool.exit_status, 0);
  const std::vector<std::string> names = names_in(folder);
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[2].rfind("hints.KxTmp.", 0), 0u);
  EXPECT_EQ(status_of(folder + "/" + names[2]).st_uid, 65534u);
  EXPECT_EQ(tool.err, "moved \"" + folder + "/hints.KxCpy\" aside to \"" + folder + "/" + names[2] +
                          "\": it was not a regular file\n");
}

/// Comment lines up to `size` bytes, then the worked example.
std::string large_hints_text(std::size_t size) {
  std::string text;
  while (text.size() < size) text += "#" + std::string(62, '.') + "\n";
  return text + kOld;
}

TEST_F(HintsSafety, SignalSweepLeavesTheOldOrTheNewTextAndNoTemporaryFile) {
  if (!hints_e2e::can_make_mount_namespace()) GTEST_SKIP() << "needs unshare -m";
  const std::string private_tmp = dir.file("tmp"), hints = dir.file("device.hints.qvd");
  ASSERT_EQ(mkdir(private_tmp.c_str(), 01777), 0);
  const std::string old_text = large_hints_text(std::size_t{4} << 20);
  RunOptions options;
  options.driver = four_cores();
  options.prefix = hints_e2e::with_private_tmp(dir.path(), private_tmp);
  const std::vector<std::string> args{"-s", "2", "-f", "device.hints.qvd"};

  write_file(hints, old_text);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(run_tool(args, options).exit_status, 0);
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - started);
  const std::string new_text = read_file(hints);
  ASSERT_NE(new_text, old_text);

  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> delay(0, static_cast<int>(took.count()));
  std::map<std::string, int> outcomes;
  for (const int signal_number :
       {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGXFSZ, SIGUSR1, SIGUSR2}) {
    for (int round = 0; round < 8; ++round) {
      write_file(hints, old_text);
      std::remove((hints + ".KxBak").c_str());
      options.send_signal = signal_number;
      options.signal_delay_us = delay(random);
      const ToolRun tool = run_tool(args, options);
      const std::string text = read_file(hints);
      const std::string what = "signal " + std::to_string(signal_number) + " after " +
                               std::to_string(options.signal_delay_us) + " us";
      EXPECT_TRUE(tool.exit_status == 0 || tool.signal == signal_number) << what;
      EXPECT_TRUE(text == old_text || text == new_text) << what;
      EXPECT_EQ(hints_e2e::temporary_files_in(private_tmp), std::vector<std::string>{}) << what;
      const std::vector<std::string> names = names_in(dir.path());
      EXPECT_TRUE(names == (std::vector<std::string>{"device.hints.qvd", "tmp"}) ||
                  names == (std::vector<std::string>{"device.hints.qvd", "device.hints.qvd.KxBak",
                                                     "tmp"}))
          << what;
      if (file_exists(hints + ".KxBak")) {
        EXPECT_EQ(read_file(hints + ".KxBak"), old_text) << what;
      }
      ++outcomes[std::string(tool.signal != 0 ? "ended by the signal, " : "exit 0, ") +
                 (text == new_text ? "new text" : "old text")];
    }
  }
  std::printf("signal sweep over %lld us runs:", static_cast<long long>(took.count()));
  for (const auto& [outcome, count] : outcomes) std::printf(" %s: %d;", outcome.c_str(), count);
  std::printf("\n");
}

// A stop in the copy back, then a second name or another hand: the readers
// say the file is incomplete and the next update repairs it through any
// symbolic link, whatever hard links another user keeps to the marker and
// the backup. Through a second hard link, or with a marker of another format,
// the update cannot tell and stops with 248, every file kept; an update
// through the name that was stopped then repairs it.
TEST_F(HintsSafety, KillInTheCopyBackIsRepairedByTheNextUpdate) {
  if (std::getenv("RIDIDEZUVE_TEST_WRAPPER") != nullptr) GTEST_SKIP() << "strace under a wrapper";
  if (!shell("strace -V >/dev/null 2>&1")) GTEST_SKIP() << "needs strace";
  // The killed run cannot remove its temporary file: it gets a /tmp of its own.
  if (!hints_e2e::can_make_mount_namespace()) GTEST_SKIP() << "needs unshare -m";
  const std::string private_tmp = dir.file("tmp");
  ASSERT_EQ(mkdir(private_tmp.c_str(), 01777), 0);
  const std::string old_text = large_hints_text(std::size_t{1} << 20);
  write_file(dir.file("preview"), old_text);
  RunOptions options;
  options.driver = four_cores();
  const std::string new_text = run_tool({"-s", "2", "--stdout", "-f", dir.file("preview")}, options).out;
  const auto repaired = [](const std::string& name) {
    return "restored \"" + name + "\" from \"hints.KxBak\" after an interrupted update\n";
  };
  // FreeBSD lets any user hard-link another user's file; here root makes the links.
  const struct {
    const char* name;
    const char* stop_through;  // the name of the update that is stopped ("": none)
    const char* then;          // shell words run in the folder
    const char* update_through;
    const char* doubt;         // the line of a 248
  } cases[] = {
      {"stopped and repaired through one name", "hints", "true", "hints", nullptr},
      {"another user's hard links to the marker and the backup", "hints",
       "mkdir keep && ln hints.KxCpy keep/m && ln hints.KxBak keep/b", "hints", nullptr},
      {"stopped through a symbolic link", "link", "true", "hints", nullptr},
      {"repaired through a symbolic link", "hints", "true", "link", nullptr},
      {"a second hard link in another folder", "hints", "true", "sub/other",
       "cannot tell whether \"sub/other\" is whole: its copy back was interrupted, and "
       "\"sub/other.KxCpy\" is not its marker\n"},
      {"a marker of another format", "", "echo 'rididezuve copy back: hints 1 2 backup 3 4 5 new 6 7' >hints.KxCpy",
       "hints", "cannot tell whether \"hints\" is whole: \"hints.KxCpy\" cannot be read or checked\n"},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = dir.file("f" + std::to_string(index++)), hints = folder + "/hints";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((folder + "/sub").c_str(), 0755), 0);
    write_file(hints, old_text);
    ASSERT_EQ(symlink("hints", (folder + "/link").c_str()), 0);
    ASSERT_EQ(link(hints.c_str(), (folder + "/sub/other").c_str()), 0);
    const std::string stopped = c.stop_through;
    if (!stopped.empty()) {
      // The second write into the hints file is the moment of the stop: only
      // the copy back writes there, and the first write has already cut it.
      // strace knows the file by the path it had before /tmp was covered.
      options.prefix = hints_e2e::with_private_tmp(
          folder, private_tmp,
          {"strace", "-f", "-qq", "-o", "/dev/null", "-P", hints, "-e", "trace=write", "-e",
           "inject=write:signal=KILL:when=2"});
      ASSERT_EQ(run_tool({"-s", "2", "-f", stopped}, options).signal, SIGKILL);
      ASSERT_LT(read_file(hints).size(), new_text.size());
      ASSERT_EQ(read_file(hints + ".KxBak"), old_text);
    }
    ASSERT_TRUE(shell("cd '" + folder + "' && " + c.then));
    const std::string torn = read_file(hints), through = c.update_through;
    const std::string doubt = c.doubt != nullptr ? c.doubt : "";

    options.prefix = hints_e2e::with_private_tmp(folder, private_tmp);
    const std::string said = c.doubt != nullptr ? doubt
                                                : "incomplete \"" + through +
                                                      "\" after an interrupted update: the next "
                                                      "update restores it from \"hints.KxBak\"\n";
    EXPECT_EQ(run_tool({"--show", "-f", through}, options).err, said);
    const ToolRun dry_run = run_tool({"-s", "2", "--stdout", "-f", through}, options);
    EXPECT_EQ(dry_run.exit_status, 0);
    EXPECT_EQ(dry_run.err, said);
    const ToolRun update = run_tool({"-s", "2", "-f", through}, options);
    EXPECT_EQ(update.exit_status, c.doubt != nullptr ? 248 : 0);
    EXPECT_EQ(update.err, c.doubt != nullptr ? doubt : repaired(through));
    // Texts of a megabyte: compared, not printed.
    EXPECT_TRUE(read_file(hints) == (c.doubt != nullptr ? torn : new_text));
    EXPECT_TRUE(stopped.empty() || read_file(hints + ".KxBak") == old_text);
    if (c.doubt != nullptr && !stopped.empty()) {
      const ToolRun repair = run_tool({"-s", "2", "-f", stopped}, options);
      EXPECT_EQ(repair.err, repaired(stopped));
      EXPECT_TRUE(read_file(hints) == new_text);
    }
  }
  // The stopped runs' temporary files keep the new text.
  for (const std::string& name : hints_e2e::temporary_files_in(private_tmp)) {
    EXPECT_TRUE(read_file(private_tmp + "/" + name) == new_text) << name;
  }
}

// A marker kept by an update whose removal of it failed, put back after a
// later update of the same length, its backup's inode number written in as a
// reused one would be: its record matches the backup's text, and still
// nothing is restored over the latest update, since the file is not marked.
TEST_F(HintsSafety, AMarkerPutBackAfterALaterUpdateRestoresNothing) {
  if (std::getenv("RIDIDEZUVE_TEST_WRAPPER") != nullptr) GTEST_SKIP() << "strace under a wrapper";
  if (!shell("strace -V >/dev/null 2>&1")) GTEST_SKIP() << "needs strace";
  const std::string hints = dir.file("hints");
  write_file(hints, kNew);
  RunOptions options;
  options.driver = four_cores();
  // The leak checker cannot run under strace.
  options.environment = {{"ASAN_OPTIONS", "detect_leaks=0"}};
  options.prefix = {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=unlink", "-e",
                    "inject=unlink:error=EIO:when=1"};
  EXPECT_EQ(run_tool({"-s", "2", "-f", hints}, options).exit_status, 0);
  ASSERT_TRUE(shell("cp -p '" + hints + ".KxCpy' '" + dir.file("kept") + "'"));
  options.prefix.clear();
  ASSERT_EQ(run_tool({"-d", "-f", hints}, options).exit_status, 0);
  const std::string latest = read_file(hints);
  ASSERT_EQ(latest.size(), kNew.size());
  ASSERT_EQ(read_file(hints + ".KxBak"), kNew);
  ASSERT_TRUE(shell("sed -E \"s/ backup [0-9]+ / backup $(stat -c %i '" + hints + ".KxBak') /\" '" +
                    dir.file("kept") + "' >'" + hints + ".KxCpy'"));

  EXPECT_EQ(run_tool({"--show", "-f", hints}, options).err, "");
  const ToolRun update = run_tool({"-s", "2", "-f", hints}, options);
  EXPECT_EQ(update.exit_status, 0);
  EXPECT_EQ(update.err, "");
  EXPECT_EQ(read_file(hints + ".KxBak"), latest);
  EXPECT_EQ(read_file(hints), kNew);
}

/// Lines of a file, as strace writes one per call.
int lines_of(const std::string& path) {
  const std::string text = read_file(path);
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

/// A prefix that runs the tool in `folder` under strace for `calls`, with its
/// own /tmp. With `files_only`, only the calls on the hints file, its backup
/// and marker count: the loader of the program itself would not survive a
/// fault in its reads, nor retry an interrupted one.
std::vector<std::string> under_strace(const std::string& folder, const std::string& private_tmp,
                                      const std::string& calls, bool files_only) {
  std::vector<std::string> strace{"strace", "-f", "-qq", "-e", "trace=" + calls};
  for (const char* name : {"hints", "hints.KxBak", "hints.KxCpy"}) {
    if (files_only) strace.insert(strace.end(), {"-P", name, "-P", folder + "/" + name});
  }
  return hints_e2e::with_private_tmp(folder, private_tmp, strace);
}

/// `prefix` with its strace writing to `out` and faulting the n-th call (0: none).
std::vector<std::string> faulting(std::vector<std::string> prefix, const std::string& out,
                                  const std::string& calls, const std::string& fault, int n) {
  prefix.insert(prefix.end(), {"-o", out});
  if (n > 0) prefix.insert(prefix.end(), {"-e", "inject=" + calls + ":" + fault + ":when=" + std::to_string(n)});
  return prefix;
}

// A fault at each call of one kind in turn (a stop that cannot be caught, an
// error, an interruption), then the readers and one more update: the hints
// file is whole or said to be incomplete, a whole one is never restored over
// (not even when edited in place after a failed update or a marker that would
// not go), no change is lost, and the next update leaves nothing but the hints file and
// its backup beside it and no temporary file of its own. A torn file then
// meets a second fault at each call of each kind during its repair.
TEST_F(HintsSafety, FaultAtEachCallThenTheReadersAndTheNextUpdate) {
  if (std::getenv("RIDIDEZUVE_TEST_WRAPPER") != nullptr) GTEST_SKIP() << "strace under a wrapper";
  if (!shell("strace -V >/dev/null 2>&1")) GTEST_SKIP() << "needs strace";
  if (!hints_e2e::can_make_mount_namespace()) GTEST_SKIP() << "needs unshare -m";
  const std::string folder = dir.file("f"), hints = folder + "/hints", calls_log = dir.file("calls");
  const std::string faulted_tmp = folder + "-tmp1", next_tmp = folder + "-tmp2";
  for (const std::string& path : {folder, faulted_tmp, next_tmp}) {
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  }
  const std::vector<std::string> first{"-s", "2", "--write-clock-hint", "-f", "hints"};
  const std::vector<std::string> second{"-s", "2", "-f", "hints"};
  RunOptions options;
  options.driver = four_cores();
  // The leak checker cannot run under strace.
  options.environment = {{"ASAN_OPTIONS", "detect_leaks=0"}};
  write_file(hints, kOld);
  const std::string first_text = run_tool({"-s", "2", "--write-clock-hint", "--stdout", "-f", hints}, options).out;
  const std::string second_text = run_tool({"-s", "2", "--stdout", "-f", hints}, options).out;
  const std::string incomplete =
      "incomplete \"hints\" after an interrupted update: the next update restores it from "
      "\"hints.KxBak\"\n";
  const std::string not_removed =
      "error removing \"hints.KxCpy\": the copy back into \"hints\" is complete\n";
  const std::string restored = "restored \"hints\" from \"hints.KxBak\" after an interrupted update\n";
  const std::string edit = "# edited in place\n";
  const auto run_counted = [&](const std::vector<std::string>& args, std::vector<std::string> prefix) {
    options.prefix = std::move(prefix);
    const ToolRun run = run_tool(args, options);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    return lines_of(calls_log);
  };
  const auto summary = [](const std::string& what, const std::map<std::string, int>& outcomes) {
    std::printf("%s:", what.c_str());
    for (const auto& [outcome, runs] : outcomes) std::printf(" %s: %d;", outcome.c_str(), runs);
    std::printf("\n");
  };

  // The first update from the old text, stopped by `stop` with the file torn;
  // what an earlier stop left goes first (its marker, and the mark: chmod).
  const auto tear = [&](const std::vector<std::string>& stop) {
    write_file(hints, kOld);
    ASSERT_EQ(chmod(hints.c_str(), 0644), 0);
    std::remove((hints + ".KxBak").c_str());
    std::remove((hints + ".KxCpy").c_str());
    options.prefix = stop;
    ASSERT_EQ(run_tool(first, options).signal, SIGKILL);
  };
  // After the stop `stop` tore the file: each second fault in the repair.
  const auto repair_with_a_second_fault = [&](const std::vector<std::string>& stop) {
    const struct {
      const char* calls;
      const char* fault;
    } second_faults[] = {
        {"pread64", "error=EIO"},    {"openat", "error=EIO"},    {"newfstatat", "error=EIO"},
        {"fchmod", "error=EIO"},     {"fsync", "error=EIO"},     {"ftruncate", "error=EIO"},
        {"write", "error=EIO"},      {"rename", "error=EIO"},    {"unlink", "error=EIO"},
        {"fchmod", "signal=KILL"},   {"fsync", "signal=KILL"},   {"ftruncate", "signal=KILL"},
        {"write", "signal=KILL"},    {"rename", "signal=KILL"},  {"unlink", "signal=KILL"},
    };
    for (const auto& r : second_faults) {
      const std::string calls = r.calls;
      // Writes to standard error are left alone: the message would be lost.
      const bool files_only = calls == "pread64" || calls == "openat" || calls == "newfstatat" ||
                              calls == "write";
      const std::vector<std::string> strace = under_strace(folder, faulted_tmp, calls, files_only);
      tear(stop);
      const int count = run_counted(second, faulting(strace, "../calls", calls, r.fault, 0));
      std::map<std::string, int> outcomes;
      for (int n = 1; n <= count; ++n) {
        SCOPED_TRACE(std::string("then ") + r.fault + " at " + calls + " " + std::to_string(n));
        tear(stop);
        options.prefix = faulting(strace, "/dev/null", calls, r.fault, n);
        const ToolRun repair = run_tool(second, options);
        const bool edited = read_file(hints) == second_text;
        EXPECT_EQ(read_file(hints + ".KxBak"), kOld);
        if (repair.signal == 0) {
          EXPECT_EQ(edited, repair.exit_status == 0);
          EXPECT_TRUE(repair.exit_status == 0 ? repair.err.find(restored) != std::string::npos
                                              : !repair.err.empty())
              << repair.err;
        }
        options.prefix = hints_e2e::with_private_tmp(folder, next_tmp);
        const ToolRun next = run_tool(second, options);
        EXPECT_EQ(next.exit_status, 0) << next.err;
        EXPECT_EQ(read_file(hints), second_text);
        EXPECT_EQ(read_file(hints + ".KxBak"), edited ? second_text : kOld);
        EXPECT_EQ(names_in(folder), (std::vector<std::string>{"hints", "hints.KxBak"}));
        ++outcomes[repair.signal != 0 ? "killed" : "exit " + std::to_string(repair.exit_status)];
      }
      summary(std::string("  then ") + r.fault + " at each of " + std::to_string(count) + " " + calls + " calls of the repair", outcomes);
    }
    EXPECT_EQ(names_in(next_tmp), std::vector<std::string>{});
  };

  const struct {
    const char* calls;
    const char* fault;
  } cases[] = {
      {"write", "signal=KILL"},       {"fsync", "signal=KILL"},      {"rename", "signal=KILL"},
      {"unlink", "signal=KILL"},      {"write", "error=EIO"},        {"fsync", "error=EIO"},
      {"rename", "error=EIO"},        {"unlink", "error=EIO"},       {"openat,read,pread64,write,fsync", "error=EINTR"},
  };
  for (const auto& c : cases) {
    const std::string calls = c.calls, fault = c.fault;
    const std::vector<std::string> strace = under_strace(folder, faulted_tmp, calls, fault == "error=EINTR");
    write_file(hints, kOld);
    const int count = run_counted(first, faulting(strace, "../calls", calls, fault, 0));
    std::map<std::string, int> outcomes;
    for (int n = 1; n <= count; ++n) {
      const std::string what = fault + " at " + calls + " " + std::to_string(n);
      SCOPED_TRACE(what);
      write_file(hints, kOld);
      std::remove((hints + ".KxBak").c_str());
      const std::vector<std::string> stop = faulting(strace, "/dev/null", calls, fault, n);
      options.prefix = stop;
      const ToolRun faulted = run_tool(first, options);
      std::string text = read_file(hints);
      const bool whole = text == kOld || text == first_text;
      if (faulted.signal == 0) {
        EXPECT_EQ(text, faulted.exit_status == 0 ? first_text : kOld) << faulted.err;
        // A good update names only a marker that would not go.
        EXPECT_TRUE(faulted.exit_status != 0 ? !faulted.err.empty()
                                             : faulted.err.empty() || faulted.err == not_removed)
            << faulted.err;
      }
      if (fault == "error=EINTR") {
        EXPECT_EQ(faulted.exit_status, 0);
        EXPECT_EQ(faulted.err, "");
      }
      if (whole && faulted.signal == 0) {
        std::ofstream(hints, std::ios::app) << edit;
        text += edit;
      } else if (!whole) {
        repair_with_a_second_fault(stop);
        tear(stop);
      }

      options.prefix = hints_e2e::with_private_tmp(folder, next_tmp);
      const ToolRun show = run_tool({"--show", "-f", "hints"}, options);
      EXPECT_EQ(show.err, whole ? "" : incomplete);
      std::vector<std::string> dry_args = second;
      dry_args.push_back("--stdout");
      const ToolRun dry_run = run_tool(dry_args, options);
      EXPECT_EQ(dry_run.err, whole ? "" : incomplete);
      const ToolRun next = run_tool(second, options);
      EXPECT_EQ(next.exit_status, 0);
      EXPECT_EQ(next.err, whole ? "" : restored);
      EXPECT_EQ(read_file(hints), whole ? dry_run.out : second_text);
      EXPECT_EQ(read_file(hints + ".KxBak"), whole ? text : kOld);
      EXPECT_EQ(names_in(folder), (std::vector<std::string>{"hints", "hints.KxBak"}));
      EXPECT_EQ(names_in(next_tmp), std::vector<std::string>{});
      ++outcomes[faulted.signal != 0 ? (whole ? "killed, whole" : "killed, torn")
                 : "exit " + std::to_string(faulted.exit_status) +
                       (faulted.err == not_removed ? " naming the marker" : "")];
    }
    summary(fault + " at each of " + std::to_string(count) + " " + calls + " calls", outcomes);
  }
}

}  // namespace
