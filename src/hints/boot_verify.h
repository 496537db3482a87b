// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include "cores/core_table.h"

/// --verify: whether the next boot applies the hints file. Reads the boot
/// loader's whole configuration under `root`, prints the core mode report
/// with the next-boot column it gives, then one line per finding on standard
/// error: the hints file is missing, unreadable or not read at boot, a line
/// of it sets nothing, another file decides a core otherwise, or a file of
/// the configuration cannot be read. 0 when there is no finding, else 1.
int verify_next_boot(CoreTable& table, const char* root, const char* hints_path);
