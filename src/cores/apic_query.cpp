// SPDX-License-Identifier: BSD-2-Clause
#include "cores/apic_query.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <new>

#include "common/file_handles.h"

namespace {

ApicIdBuffer allocate_id_buffer() {
  try {
    return std::make_unique<std::uint32_t[]>(kApicIdCapacity);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

bool query_driver(ApicIdQuery& query) {
  // The node is open for this one request only.
  const FileDescriptor node(open(kDriverNodePath, O_RDWR));
  if (!node.valid()) {
    return false;
  }
  return ioctl(node.get(), kApicIdRequest, &query) >= 0;
}

std::uint32_t query_apic_ids(std::uint32_t& shared_count_out, ApicIdBuffer& ids_out) {
  ApicIdBuffer ids = allocate_id_buffer();
  if (!ids) {
    return 0;
  }

  ApicIdQuery query{};
  query.capacity = kApicIdCapacity;
  query.ids = ids.get();
  if (!query_driver(query)) {
    return 0;
  }
  // A count beyond the buffer would send every later step past its end.
  if (query.cpu_count > kApicIdCapacity) {
    return 0;
  }

  shared_count_out = query.shared_count;
  ids_out = std::move(ids);
  return query.cpu_count;
}
