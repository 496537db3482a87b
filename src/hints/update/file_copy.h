// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdio>

#include "common/file_handles.h"

/// Copies the rest of `input` byte for byte into the file open for writing
/// as `output`, which is put on the disk and closed before the copy counts.
/// A write that a signal interrupts goes on where it stopped. 0, 12 when the
/// copy's buffer cannot be had, or the error number of the read, write,
/// flush or close that failed.
int copy_text(std::FILE* input, FileDescriptor output);
