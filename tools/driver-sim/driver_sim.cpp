// SPDX-License-Identifier: BSD-2-Clause
// Driver stand-in for "/dev/kxpaldrv", loaded with LD_PRELOAD.
//
// It answers the open of the node and the APIC-id request the way the real
// driver's record layout says, and passes every other call through. It is
// configured by environment variables:
//   KXPALDRV_SIM_IDS     APIC ids in driver order, e.g. "0,2,4,6" (decimal or
//                        0x-hex); set but empty: no cores. Unset: this machine's
//                        cores as Linux lists them.
//   KXPALDRV_SIM_SHARED  cores the operating system uses now (default: all)
//   KXPALDRV_SIM_FAULT   "missing" (the node does not exist), "refuse" (the
//                        request fails), "overflow" (cpu_count one above the
//                        capacity it was given)

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kNodePath[] = "/dev/kxpaldrv";
constexpr unsigned long kApicIdRequest = 0xC0184810UL;
constexpr std::size_t kMaxSimulatedIds = 4096;

struct ApicIdQuery {
  std::uint32_t capacity;
  std::uint32_t shared_count;
  std::uint32_t cpu_count;
  std::uint32_t reserved;
  std::uint32_t* ids;
};
static_assert(sizeof(ApicIdQuery) == 24);

// The descriptor handed out for the node (a real one on /dev/null), -1 when closed.
int g_node_fd = -1;

template <typename Fn>
Fn next_symbol(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

bool fault_is(const char* name) {
  const char* fault = std::getenv("KXPALDRV_SIM_FAULT");
  return fault != nullptr && std::strcmp(fault, name) == 0;
}

bool is_node(const char* path) {
  return path != nullptr && std::strcmp(path, kNodePath) == 0;
}

std::size_t parse_id_list(const char* text, std::uint32_t* ids) {
  std::size_t count = 0;
  const char* cursor = text;
  while (*cursor != '\0' && count < kMaxSimulatedIds) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(cursor, &end, 0);
    if (end == cursor) {
      break;
    }
    ids[count++] = static_cast<std::uint32_t>(value);
    cursor = end;
    while (*cursor == ',' || *cursor == ' ') {
      ++cursor;
    }
  }
  return count;
}

// This machine's cores: the "apicid" lines of /proc/cpuinfo, in processor order.
std::size_t read_machine_ids(std::uint32_t* ids) {
  std::size_t count = 0;
  if (FILE* cpuinfo = std::fopen("/proc/cpuinfo", "r")) {
    char line[512];
    while (count < kMaxSimulatedIds && std::fgets(line, sizeof line, cpuinfo) != nullptr) {
      // "apicid\t\t: 3"; "initial apicid" does not count.
      const char* colon = std::strchr(line, ':');
      if (std::strncmp(line, "apicid", 6) == 0 && colon != nullptr) {
        ids[count++] = static_cast<std::uint32_t>(std::strtoul(colon + 1, nullptr, 10));
      }
    }
    std::fclose(cpuinfo);
  }
  if (count == 0) {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    for (long i = 0; i < online && count < kMaxSimulatedIds; ++i) {
      ids[count++] = static_cast<std::uint32_t>(i);
    }
  }
  return count;
}

int answer_query(ApicIdQuery* query) {
  if (fault_is("refuse")) {
    errno = ENOTTY;
    return -1;
  }
  static std::uint32_t ids[kMaxSimulatedIds];
  const char* configured = std::getenv("KXPALDRV_SIM_IDS");
  const std::size_t count = configured != nullptr ? parse_id_list(configured, ids)
                                                  : read_machine_ids(ids);

  // Like the real driver: never more ids than the caller has room for.
  const std::size_t written = count < query->capacity ? count : query->capacity;
  std::memcpy(query->ids, ids, written * sizeof ids[0]);

  const char* shared = std::getenv("KXPALDRV_SIM_SHARED");
  query->shared_count = shared != nullptr ? static_cast<std::uint32_t>(std::strtoul(shared, nullptr, 0))
                                          : static_cast<std::uint32_t>(count);
  query->cpu_count = fault_is("overflow") ? query->capacity + 1 : static_cast<std::uint32_t>(count);
  return 0;
}

using OpenFn = int (*)(const char*, int, ...);

int open_node() {
  if (fault_is("missing")) {
    errno = ENOENT;
    return -1;
  }
  static const OpenFn real_open = next_symbol<OpenFn>("open");
  g_node_fd = real_open("/dev/null", O_RDWR);
  return g_node_fd;
}

/// What open and open64 both do: answer the node here, pass every other path
/// to `real_open` with the mode, which the caller gives only with O_CREAT or
/// O_TMPFILE.
int open_path(OpenFn real_open, const char* path, int flags, va_list arguments) {
  const mode_t mode =
      (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
  return is_node(path) ? open_node() : real_open(path, flags, mode);
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {  // NOLINT(readability-inconsistent-declaration-parameter-name)
  static const OpenFn real_open = next_symbol<OpenFn>("open");
  va_list arguments;
  va_start(arguments, flags);
  const int fd = open_path(real_open, path, flags, arguments);
  va_end(arguments);
  return fd;
}

int open64(const char* path, int flags, ...) {  // NOLINT(readability-inconsistent-declaration-parameter-name)
  static const OpenFn real_open64 = next_symbol<OpenFn>("open64");
  va_list arguments;
  va_start(arguments, flags);
  const int fd = open_path(real_open64, path, flags, arguments);
  va_end(arguments);
  return fd;
}

// The fortified open of glibc, which a hardened build of the tool may call.
int __open_2(const char* path, int flags) {  // NOLINT(bugprone-reserved-identifier)
  if (is_node(path)) {
    return open_node();
  }
  using Open2Fn = int (*)(const char*, int);
  static const Open2Fn real_open_2 = next_symbol<Open2Fn>("__open_2");
  return real_open_2(path, flags);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  if (fd >= 0 && fd == g_node_fd && request == kApicIdRequest) {
    return answer_query(static_cast<ApicIdQuery*>(argument));
  }
  using IoctlFn = int (*)(int, unsigned long, ...);
  static const IoctlFn real_ioctl = next_symbol<IoctlFn>("ioctl");
  return real_ioctl(fd, request, argument);
}

int close(int fd) {
  if (fd >= 0 && fd == g_node_fd) {
    g_node_fd = -1;
  }
  using CloseFn = int (*)(int);
  static const CloseFn real_close = next_symbol<CloseFn>("close");
  return real_close(fd);
}

}  // extern "C"
