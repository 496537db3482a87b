// SPDX-License-Identifier: BSD-2-Clause
// The entry point: parse, query the driver, build the core table, run the one
// command, and turn its outcome into the exit status.

#include "cli/options.h"
#include "common/diagnostics.h"
#include "cores/apic_query.h"
#include "cores/core_table.h"
#include "hints/boot_verify.h"
#include "hints/core_report.h"
#include "hints/hints_update.h"
#include "sysinfo/system_information.h"

#include <cerrno>
#include <cstdio>
#include <utility>

namespace {

// Statuses of the entry point's own failures; the exit status keeps their low 8 bits.
constexpr int kCommandLineRejected = -1;
constexpr int kDriverQueryFailed = -2;
constexpr int kCoreTableFailed = -3;

int run_core_command(const CoreOptions& options, CoreTable& table) {
  switch (options.command) {
    case Command::Set:
      assign_shared_cores(table, static_cast<std::uint32_t>(options.shared_count));
      return update_hints_file(table, options.file.data());
    case Command::Delete:
      assign_shared_cores(table, table.cpu_count);
      return update_hints_file(table, options.file.data());
    case Command::Verify:
      return verify_next_boot(table, options.root != nullptr ? options.root : "/", options.file.data());
    default:
      return print_core_mode_report(table, options.file.data());
  }
}

int run(int argc, char** argv) {
  CoreOptions options;
  if (!read_command_line(options, argc, argv)) {
    return kCommandLineRejected;
  }
  if (options.command == Command::Help) {
    return print_usage();
  }

  std::uint32_t shared_count = 0;
  ApicIdBuffer ids;
  const std::uint32_t cpu_count = query_apic_ids(shared_count, ids);
  if (cpu_count == 0) {
    report("error query apic-ids");
    return kDriverQueryFailed;
  }

  if (options.command == Command::SysXml) {
    write_system_information(ids.get(), cpu_count);
    return 0;
  }

  CoreTablePtr table = create_core_table(shared_count, cpu_count, ids.get());
  ids.reset();
  if (!table) {
    report("error creating config config data");
    return kCoreTableFailed;
  }
  table->flags = options.flags;

  const int status = run_core_command(options, *table);
  release_core_table(std::move(table));
  return status;
}

// No run may report success when its output was lost: flush standard output
// and, if any write to it failed, say so and fail with the error number.
int finish_standard_output(int status) {
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  const int flush_error = errno;
  if (flushed && !std::ferror(stdout)) {
    return status;
  }
  report("error writing standard output");
  if (status != 0) {
    return status;
  }
  return (!flushed && flush_error != 0) ? flush_error : EIO;
}

}  // namespace

int main(int argc, char** argv) {
  return finish_standard_output(run(argc, argv));
}
