// SPDX-License-Identifier: BSD-2-Clause
#include "tool_runner.h"

#include "scratch_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

extern char** environ;

namespace {

bool starts_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// True when every user may run or load `path`: it is readable by all and
// every folder above it searchable by all.
bool open_to_everyone(const std::filesystem::path& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0 || (status.st_mode & S_IROTH) == 0) return false;
  for (std::filesystem::path folder = path.parent_path();; folder = folder.parent_path()) {
    if (stat(folder.c_str(), &status) != 0 || (status.st_mode & S_IXOTH) == 0) return false;
    if (folder == folder.root_path() || folder.empty()) return true;
  }
}

// The binary and the libraries preloaded into it are copied once to a folder
// of their own when the tool could not start from where they were built: some
// tests cover /tmp with a file system of their own, and some run the tool as
// another user, who cannot reach a build tree in a private folder (such as a
// checkout under /root).
class Staging {
 public:
  ~Staging() {
    if (!folder_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(folder_, ignored);
    }
  }

  std::string reachable(const std::string& path) {
    if (path.rfind("/tmp/", 0) != 0 && open_to_everyone(path)) return path;
    const std::lock_guard<std::mutex> lock(mutex_);  // tests may run the tool from two threads
    if (folder_.empty()) {
      char name[] = "/var/tmp/rididezuve-stage-XXXXXX";
      if (mkdtemp(name) == nullptr) return path;
      folder_ = name;
      chmod(folder_.c_str(), 0755);
    }
    const std::string copy = folder_ + "/" + std::filesystem::path(path).filename().string();
    std::error_code error;
    std::filesystem::copy_file(path, copy, std::filesystem::copy_options::skip_existing, error);
    if (error || chmod(copy.c_str(), 0755) != 0) return path;
    return copy;
  }

 private:
  std::mutex mutex_;
  std::string folder_;
};

std::string reachable(const std::string& path) {
  static Staging staging;
  return staging.reachable(path);
}

// The test's own environment, less anything that would steer the stand-in or
// the preload list, plus what this run asks for.
std::vector<std::string> run_environment(const RunOptions& options) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!starts_with(*entry, "KXPALDRV_SIM_") && !starts_with(*entry, "LD_PRELOAD=")) {
      environment.emplace_back(*entry);
    }
  }
  const DriverSim& sim = options.driver;
  if (!sim.ids.empty()) environment.push_back("KXPALDRV_SIM_IDS=" + sim.ids);
  if (!sim.shared.empty()) environment.push_back("KXPALDRV_SIM_SHARED=" + sim.shared);
  if (!sim.fault.empty()) environment.push_back("KXPALDRV_SIM_FAULT=" + sim.fault);
  for (const auto& [name, value] : options.environment) {
    environment.push_back(name + "=" + value);
  }
  return environment;
}

// The sanitizer runtime, where the binary loads it dynamically, must come
// first in the preload list or it refuses to start.
std::string preload_list(const RunOptions& options) {
  std::vector<std::string> libraries;
  if (*SANITIZER_RUNTIME != '\0') libraries.emplace_back(SANITIZER_RUNTIME);
  if (options.driver.loaded) libraries.push_back(reachable(DRIVER_SIM_LIBRARY));
  for (const std::string& library : options.preload) libraries.push_back(reachable(library));
  std::string list;
  for (const std::string& library : libraries) {
    list += (list.empty() ? "" : ":") + library;
  }
  return list;
}

// RIDIDEZUVE_TEST_WRAPPER, words separated by spaces: a checker that runs the
// tool (valgrind for the memcheck pass).
std::vector<std::string> wrapper_words() {
  std::vector<std::string> words;
  const char* wrapper = std::getenv("RIDIDEZUVE_TEST_WRAPPER");
  std::string word;
  for (const char* c = wrapper != nullptr ? wrapper : ""; ; ++c) {
    if (*c == ' ' || *c == '\0') {
      if (!word.empty()) words.push_back(word);
      word.clear();
      if (*c == '\0') break;
    } else {
      word += *c;
    }
  }
  return words;
}

// The argument vector: the prefix command, then env (so that only the tool
// itself gets the preload list), the wrapper, then the tool and its arguments.
std::vector<std::string> run_arguments(const std::vector<std::string>& args,
                                       const RunOptions& options) {
  std::vector<std::string> argv = options.prefix;
  if (options.driver.loaded || !options.preload.empty()) {
    argv.insert(argv.end(), {"/usr/bin/env", "LD_PRELOAD=" + preload_list(options)});
  }
  const std::vector<std::string> wrapper = wrapper_words();
  argv.insert(argv.end(), wrapper.begin(), wrapper.end());
  argv.push_back(reachable(RIDIDEZUVE_BINARY));
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& text : strings) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

void redirect(const std::string& path, int target) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || dup2(fd, target) < 0) _exit(126);
  close(fd);
}

}  // namespace

const char* tool_binary_path() { return RIDIDEZUVE_BINARY; }
const char* driver_sim_library_path() { return DRIVER_SIM_LIBRARY; }

ToolRun run_tool(const std::vector<std::string>& args, const RunOptions& options) {
  const ScratchDir capture;
  const std::string out_path =
      options.stdout_path.empty() ? capture.file("stdout") : options.stdout_path;
  const std::string err_path = capture.file("stderr");

  std::vector<std::string> argv_strings = run_arguments(args, options);
  std::vector<std::string> env_strings = run_environment(options);
  std::vector<char*> argv = pointers(argv_strings);
  std::vector<char*> envp = pointers(env_strings);

  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    const int null_input = open("/dev/null", O_RDONLY);
    if (null_input < 0 || dup2(null_input, STDIN_FILENO) < 0) _exit(126);
    redirect(out_path, STDOUT_FILENO);
    redirect(err_path, STDERR_FILENO);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }

  if (child > 0 && options.send_signal != 0) {
    usleep(static_cast<useconds_t>(options.signal_delay_us));
    kill(child, options.send_signal);
  }
  ToolRun run;
  int wait_status = 0;
  if (child < 0 || waitpid(child, &wait_status, 0) != child) {
    ADD_FAILURE() << "cannot run " << RIDIDEZUVE_BINARY;
    return run;
  }
  if (WIFEXITED(wait_status)) {
    run.exit_status = WEXITSTATUS(wait_status);
  } else if (WIFSIGNALED(wait_status)) {
    run.signal = WTERMSIG(wait_status);
  }
  if (options.stdout_path.empty()) run.out = read_file(out_path);
  run.err = read_file(err_path);
  return run;
}
