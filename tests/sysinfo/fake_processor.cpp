// SPDX-License-Identifier: BSD-2-Clause
#include "fake_processor.h"

#include <map>
#include <utility>

namespace {

std::map<std::pair<std::uint32_t, std::uint32_t>, CpuidRegisters>& leaves() {
  static std::map<std::pair<std::uint32_t, std::uint32_t>, CpuidRegisters> table;
  return table;
}

}  // namespace

void read_cpuid(CpuidRegisters& regs, std::uint32_t leaf, std::uint32_t subleaf) {
  const auto found = leaves().find({leaf, subleaf});
  regs = found != leaves().end() ? found->second : CpuidRegisters{};
}

void reset_fake_processor() { leaves().clear(); }

void set_cpuid(std::uint32_t leaf, std::uint32_t subleaf, const CpuidRegisters& regs) {
  leaves()[{leaf, subleaf}] = regs;
}

void make_intel(std::uint32_t highest_basic) {
  set_cpuid(0, 0, {highest_basic, 0x756E6547, 0x6C65746E, 0x49656E69});
}

void make_amd(std::uint32_t highest_extended, bool topology_extensions) {
  set_cpuid(0, 0, {0x10, 0x68747541, 0x444D4163, 0x69746E65});
  set_cpuid(0x80000000, 0, {highest_extended, 0, 0, 0});
  set_cpuid(0x80000001, 0, {0, 0, topology_extensions ? 0x400000U : 0U, 0});
}

CpuidRegisters cache_leaf(std::uint32_t type, std::uint32_t level, std::uint32_t sharing,
                          std::uint32_t ways, std::uint32_t line, std::uint32_t partitions,
                          std::uint32_t sets) {
  return {type | (level << 5) | (sharing << 14), line | (partitions << 12) | (ways << 22), sets, 0};
}
