// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

/// The record exchanged with the real-time runtime's driver, native amd64 layout.
struct ApicIdQuery {
  std::uint32_t capacity;      // in: slots in the id buffer
  std::uint32_t shared_count;  // out: cores the operating system uses now
  std::uint32_t cpu_count;     // out: ids written into the buffer
  std::uint32_t reserved;
  std::uint32_t* ids;          // in: the caller's id buffer
};

static_assert(sizeof(ApicIdQuery) == 24);
static_assert(offsetof(ApicIdQuery, capacity) == 0);
static_assert(offsetof(ApicIdQuery, shared_count) == 4);
static_assert(offsetof(ApicIdQuery, cpu_count) == 8);
static_assert(offsetof(ApicIdQuery, reserved) == 12);
static_assert(offsetof(ApicIdQuery, ids) == 16);
static_assert(sizeof(std::uint32_t*) == 8);

inline constexpr char kDriverNodePath[] = "/dev/kxpaldrv";

/// _IOWR('H', 16, ApicIdQuery): the same value on FreeBSD and Linux.
inline constexpr unsigned long kApicIdRequest = 0xC0184810UL;

/// Slots in the id buffer handed to the driver.
inline constexpr std::uint32_t kApicIdCapacity = 256;

using ApicIdBuffer = std::unique_ptr<std::uint32_t[]>;

/// Opens the driver node read-write, issues the request, closes the node.
/// True when the open succeeded and the request returned a non-negative value.
bool query_driver(ApicIdQuery& query);

/// Asks the driver for the cores. Returns the number of ids (0 on any failure,
/// including a driver that reports more ids than the buffer holds); on success
/// the id buffer passes to the caller through `ids_out`.
std::uint32_t query_apic_ids(std::uint32_t& shared_count_out, ApicIdBuffer& ids_out);
