// SPDX-License-Identifier: BSD-2-Clause
#pragma once

/// Writes OSIdentifier, OSVersion, Hostname and OSArchitecture from uname.
void write_os_attributes();

/// Writes TotalMemory (KiB, only when the size is known), MemoryBarInfo and NumMemoryBars.
void write_memory_attributes();

/// Writes BIOSVersion (vendor and version) and BoardInfo from the firmware variables.
void write_firmware_attributes();

/// Upper-cases the ASCII letters of the NUL-terminated `text` in place; every
/// other byte is left as it is.
void to_upper_ascii(char* text);
