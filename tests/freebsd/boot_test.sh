#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Boots the FreeBSD executable on real FreeBSD kernels under QEMU, with the
# package's files staged as pkg installs them, and checks every boot against
# what the same boot says on its own (sysctl, kenv, the kernel's topology, the
# driver, and the processor's raw cpuid leaves through cpuid_probe.c) and
# against what QEMU was given. One VM at a time, one plan table per scenario:
#   three-boots  13.2 and 14.2, 4 CPUs. Boot 1: --sysxml field by field,
#                -s 2 --flat --write-clock-hint, --verify; boot 2: the kernel
#                started 2 CPUs and holds the hints as written, -d, then a
#                /boot/loader.conf.local withholds the last core and --verify
#                says whether it counts on this release; boot 3: the CPUs it
#                said, updates in a sticky world-writable folder where another
#                user planted links at the backup names, -f refusals
#   gaps         14.2, 2 sockets of 3 cores (APIC ids with a gap): -s 4
#                withholds the driver's last two; 4 CPUs started; -d; 6 again
#   smt          14.2, 2 sockets of 2 cores of 2 threads, an Intel model: -s 5
#                withholds one thread of a core and keeps its sibling
#   intel, amd   14.2, one boot each on an Intel and an AMD model: --sysxml's
#                cache lines from the raw cache leaves, or the AMD answer
#                without topology extensions
# Every scenario's first boot checks --sysxml, the driver's APIC ids and the
# SMBIOS values and host name given. Each check prints one line naming the
# release and the processor layout it ran on.
# The VM kit (run-vm) is ../shared/freebsd-vm, or FREEBSD_VM_DIR; without it,
# QEMU or one of its releases the test says so in one line and passes.
# Results stay in BUILD_DIR/boot-test/SCENARIO-RELEASE for a look after a failure.
# Usage: tests/freebsd/boot_test.sh [BUILD_DIR]   (default build/freebsd)
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build/freebsd}" 2>/dev/null && pwd) || build=${1:-$root/build/freebsd}
kit=${FREEBSD_VM_DIR:-$root/../shared/freebsd-vm}
sysroot=${FREEBSD_SYSROOT:-$root/../shared/freebsd-sysroot}

skip() {
  echo "skipped the FreeBSD boot test: $*"
  exit 0
}
[ -x "$kit/run-vm" ] || skip "no VM kit in ../shared/freebsd-vm (set FREEBSD_VM_DIR)"
command -v qemu-system-x86_64 >/dev/null 2>&1 ||
  skip "no qemu-system-x86_64 (Debian package qemu-system-x86)"
[ -f "$sysroot/usr/include/sys/param.h" ] || skip "no FreeBSD system root in ../shared/freebsd-sysroot (set FREEBSD_SYSROOT)"
[ -f "$build/src/rididezuve" ] || skip "no FreeBSD build in $build (scripts/check-freebsd-build makes it)"
# "NAME OSRELEASE [default]" for each release the kit boots.
releases=$("$kit/run-vm" --list-releases 2>/dev/null)

# What every VM is given besides its processor.
memory_mib=448
bios_vendor='Rdz "Test" & Co'
bios_version="<1.07'b>"
board_product='Board & <Rev 2>'
host_name="rdz-vm&<\"'>"
attacker=1001:1001

top=$build/boot-test
rm -rf "$top"
mkdir -p "$top/stage" "$top/helpers" || exit 1
started=$SECONDS

# --- the package, as pkg installs it --------------------------------------------
# A DESTDIR install of the build under the port's prefix, then what pkg does for
# each "@sample FILE TARGET" of the port's PLIST_FILES: copy FILE to TARGET
# unless TARGET is there.
stage_package() {
  local dest=$1 sample target
  DESTDIR=$dest cmake --install "$build" --prefix /usr/local >"$top/install.log" 2>&1 || {
    cat "$top/install.log"
    return 1
  }
  local examples="\${EXAMPLESDIR_REL}"  # as the Makefile spells it
  while read -r sample target; do
    sample=/usr/local/${sample//"$examples"/share/examples/rididezuve}
    [ -e "$dest$sample" ] || { echo "the install holds no $sample"; return 1; }
    mkdir -p "$dest$(dirname "$target")"
    [ -e "$dest$target" ] || cp -p "$dest$sample" "$dest$target"
  done < <(sed -nE 's/.*"@sample ([^ "]+) ([^ "]+)".*/\1 \2/p' "$root/packaging/freebsd/Makefile")
  [ -e "$dest/boot/device.hints.qvd" ] && [ -e "$dest/boot/loader.conf.d/rididezuve.conf" ]
}
stage_package "$top/stage" || { echo "FAIL: staging the package"; exit 1; }
staged=$(cd "$top/stage" && find . -type f -path '*/sbin/rididezuve' | head -n 1)
tool=${staged#.}
hints=/boot/device.hints.qvd
[ -n "$tool" ] || { echo "FAIL: the install holds no sbin/rididezuve"; exit 1; }

# Helpers run in the VM from /test: the kit's driver probe, and the processor's
# own answers.
cp "$kit/kxpaldrv/kxtest" "$top/helpers/kxtest"
clang-19 --target=x86_64-unknown-freebsd13.5 --sysroot="$sysroot" -fuse-ld=lld-19 -O2 -Wall -Wextra -Werror \
  -o "$top/helpers/cpuid_probe" "$root/tests/freebsd/cpuid_probe.c" ||
  { echo "FAIL: building cpuid_probe for FreeBSD"; exit 1; }

# Text for the runner's @write: its escapes for backslash, space, tab, CR, LF.
plan_text() {
  local s
  s=$(cat "$1"; printf x)
  s=${s%x}
  s=${s//\\/\\\\}
  s=${s// /\\s}
  s=${s//$'\t'/\\t}
  s=${s//$'\r'/\\r}
  s=${s//$'\n'/\\n}
  printf '%s' "$s"
}
sample_text=$(plan_text "$top/stage$hints")
sticky=/tmp/sticky

# --- running a scenario ------------------------------------------------------------
# scenario NAME RELEASE CPUS [MODEL]: boots the plan table NAME_table on that
# release with QEMU's --cpus CPUS and processor MODEL (its default without one),
# then runs NAME_checks. Tables print "BOOT NAME COMMAND", one plan line each;
# NAME "-" ends a boot. where[NAME] is the line's result, without suffix.
declare -A where
passed=0 failed=0
scenario() {
  local name=$1 scenario_passed=$passed scenario_failed=$failed scenario_started=$SECONDS
  release=$2 cpus=$3 model=${4:-}
  label="$release, --cpus $cpus, ${model:-default processor}"
  osrelease=$(awk -v r="$release" '$1 == r { print $2 }' <<<"$releases")
  if [ -z "$osrelease" ]; then
    echo "skipped $name on $release: the VM kit has no release $release"
    return
  fi
  work=$top/$name-$release
  mkdir -p "$work/plan" && cp "$top"/helpers/* "$work/plan/" || exit 1
  n=${cpus%%,*}
  qemu_ids=$(qemu_apic_ids "$cpus")
  write_plans "${name}_table"
  local vm=(--release "$release" --cpus "$cpus" --mem "$memory_mib" --timeout 300
    --smbios "type=0,vendor=$bios_vendor,version=$bios_version"
    --smbios "type=2,manufacturer=Rdz,product=$board_product")
  [ -z "$model" ] || vm+=(--cpu "$model")
  FREEBSD_SYSROOT=$sysroot "$kit/run-vm" --tool "$top/stage$tool" --stage "$top/stage" --plan "$work/plan" \
    --out "$work/out" "${vm[@]}" 2>"$work/run-vm.log"
  local run_vm_status=$?
  check "run-vm: the VM powered off and every frame came back whole" "run-vm status $run_vm_status" "run-vm status 0"
  read_leaves
  "${name}_checks"
  echo "$name on $label: $((passed - scenario_passed)) passed, $((failed - scenario_failed)) failed" \
    "in $((SECONDS - scenario_started)) s ($(tail -n 1 "$work/out/summary.txt" 2>/dev/null))"
  if [ "$failed" -gt "$scenario_failed" ]; then
    echo "run-vm said:"
    sed 's/^/    /' "$work/run-vm.log"
    echo "results in $work/out"
  fi
}

write_plans() {
  local boot name command
  local -A lines
  where=()
  while read -r boot name command; do
    echo "$command" >>"$work/plan/boot-$boot.plan"
    [ "$name" = - ] && continue
    lines[$boot]=$((${lines[$boot]:-0} + 1))
    where[$name]=$work/out/boot-$boot/${lines[$boot]}
  done < <("$1")
}

# qemu_apic_ids CPUS: the APIC ids QEMU gives the CPUs of a --cpus value, in
# CPU order: thread, core and die each in a field as wide as its count needs,
# the socket above them.
qemu_apic_ids() {
  local -a fields
  local -A count=([dies]=1 [cores]=1 [threads]=1)
  local field i ids=""
  IFS=, read -ra fields <<<"$1"
  for field in "${fields[@]:1}"; do count[${field%%=*}]=${field#*=}; done
  local t=${count[threads]} c=${count[cores]} d=${count[dies]}
  local tw cw dw
  tw=$(field_width "$t") cw=$(field_width "$c") dw=$(field_width "$d")
  for ((i = 0; i < fields[0]; i++)); do
    ids+=" $(((i / (t * c * d)) << (dw + cw + tw) | (i / (t * c) % d) << (cw + tw) | (i / t % c) << tw | i % t))"
  done
  echo "${ids# }"
}
field_width() { local w=0; while (((1 << w) < $1)); do w=$((w + 1)); done; echo "$w"; }

# --- what came back ------------------------------------------------------------
# out NAME: the line's standard output, trailing newlines dropped; bytes NAME:
# all of it, with a final '#' so that nothing is dropped.
out() { cat "${where[$1]:-$work/no-such-line}.stdout" 2>/dev/null; }
err() { cat "${where[$1]:-$work/no-such-line}.stderr" 2>/dev/null; }
bytes() { cat "${where[$1]:-$work/no-such-line}.stdout" 2>/dev/null; printf '#'; }
status() { cat "${where[$1]:-$work/no-such-line}.status" 2>/dev/null || echo "no result"; }

check() {  # check DESCRIPTION ACTUAL EXPECTED
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
    echo "PASS [$label] $1"
  else
    failed=$((failed + 1))
    echo "FAIL [$label] $1"
    diff <(printf '%s\n' "$3" | cat -A) <(printf '%s\n' "$2" | cat -A) | sed 's/^/    /'
  fi
}
exit_statuses() {  # exit_statuses STATUS NAME...: each named line ended so
  local want=$1 name got=""
  shift
  for name; do [ "$(status "$name")" = "$want" ] || got+="$name: $(status "$name"); "; done
  check "lines ending with $want: $*" "$got" ""
}

# The core mode report for driver ids IDS with the ids in NOW shared now and
# those in NEXT shared at the next boot.
report() {
  local -a cores
  local i
  read -ra cores <<<"$1"
  printf '  CPU | LApic-ID | mode now | mode next boot\r\n%s\n' "----------------------------------------------"
  for i in "${!cores[@]}"; do
    printf '  %3d |    %02x    | %s |    %s\r\n' "$i" "${cores[$i]}" \
      "$(mode "${cores[$i]}" "$2")" "$(mode "${cores[$i]}" "$3")"
  done
  printf '#'
}
mode() { if [[ " $2 " == *" $1 "* ]]; then echo ' shared '; else echo isolated; fi; }
# first N LIST, rest N LIST: the first N words of LIST, and the others.
first() { local -a w; read -ra w <<<"$2"; echo "${w[*]:0:$1}"; }
rest() { local -a w; read -ra w <<<"$2"; echo "${w[*]:$1}"; }
sorted() { tr ' ' '\n' <<<"$1" | sort -n | xargs; }
# The driver's answer "shared S count C ids A B ...": S, and the ids.
driver_shared() { out "$1" | awk '{ print $2 }'; }
driver_ids() { out "$1" | cut -d' ' -f6-; }
# cpuid_probe apic's answer "CPU APIC-ID" per line: the APIC ids in CPU order.
probe_ids() { out "$1" | awk '{ print $2 }' | xargs; }
# The CPUs of the kernel's topology (kern.sched.topology_spec), as it lists them.
topology_cpus() { out "$1" | sed -nE 's/.*<cpu count="[0-9]+" mask="[^"]*">(.*)<\/cpu>.*/\1/p' | head -n 1; }
cpu_list() { local i list=""; for ((i = 0; i < $1; i++)); do list+=", $i"; done; echo "${list#, }"; }

# --- the processor, from cpuid_probe leaves ----------------------------------------
declare -A leaves
read_leaves() {
  local leaf subleaf registers
  leaves=()
  while read -r leaf subleaf registers; do leaves["$leaf $subleaf"]=$registers; done <<<"$(out leaves)"
}
reg() {  # reg LEAF SUBLEAF N: register N (0 EAX, 1 EBX, 2 ECX, 3 EDX) as a number
  local -a r
  read -ra r <<<"${leaves["$1 $2"]:-0 0 0 0}"
  echo $((16#${r[$3]}))
}
# The text a row of registers spells, byte after byte in memory order, up to
# the first NUL.
register_text() {
  local word i text=""
  for word; do
    for i in 6 4 2 0; do
      [ "${word:i:2}" = 00 ] && { printf '%b' "$text"; return; }
      text+="\\x${word:i:2}"
    done
  done
  printf '%b' "$text"
}
cpu_vendor() {
  local -a r
  read -ra r <<<"${leaves["0 0"]:-}"
  register_text "${r[1]:-}" "${r[3]:-}" "${r[2]:-}"
}
brand_string() {  # fails where the processor has no brand string leaves
  (($(reg 80000000 0 0) >= 0x80000004)) || return 1
  # shellcheck disable=SC2086  # the registers are words
  register_text ${leaves["80000002 0"]:-} ${leaves["80000003 0"]:-} ${leaves["80000004 0"]:-}
}
# The cache leaf the tool's rules pick: Intel's leaf 4, AMD's 0x8000001D only
# with topology extensions (leaf 0x80000001 ECX bit 22), none otherwise.
cache_leaf() {
  case $(cpu_vendor) in
    GenuineIntel) (($(reg 0 0 0) >= 4)) && echo 4 ;;
    AuthenticAMD) (($(reg 80000000 0 0) >= 0x8000001d && ($(reg 80000001 0 2) & 0x400000) != 0)) && echo 8000001d ;;
  esac
}
# cache_lines LEVEL: the level's lines from the first unified cache of that
# level in the cache leaf, before its end (type 0); sizes multiply in 32 bits.
# The amount counts the started CPUs' APIC ids masked by the cache's sharing.
cache_lines() {
  local level=$1 leaf subleaf eax ebx ecx ways size sharing mask amount
  leaf=$(cache_leaf)
  for ((subleaf = 0; ${#leaf} > 0 && subleaf < 64; subleaf++)); do
    eax=$(reg "$leaf" $subleaf 0) ebx=$(reg "$leaf" $subleaf 1) ecx=$(reg "$leaf" $subleaf 2)
    (((eax & 0x1f) == 0)) && break
    (((eax & 0x1f) == 3 && (eax >> 5 & 7) == level)) || continue
    ways=$(((ebx >> 22 & 0x3ff) + 1))
    size=$((ways * ((ebx & 0xfff) + 1) * (ecx + 1) * ((ebx >> 12 & 0x3ff) + 1) & 0xffffffff))
    sharing=$(((eax >> 14 & 0xfff) + 1)) mask=1
    while ((mask < sharing)); do mask=$((mask << 1)); done
    amount=$(for id in $(probe_ids apic1); do echo $((id & ~(mask - 1))); done | sort -u | wc -l)
    xml_line "L${level}CacheSize" $((size >> 10))
    xml_line "L${level}CacheAssoc" "$ways"
    ((amount > 0)) && xml_line "L${level}CacheAmount" "$amount"
    return
  done
  xml_line "L${level}CacheSize" 0
}
# Where the cache lines come from and what they say, for the check's description.
cache_summary() {
  local leaf source
  leaf=$(cache_leaf)
  if [ -n "$leaf" ]; then
    source="leaf 0x$leaf"
  elif [ "$(cpu_vendor)" = AuthenticAMD ] && (($(reg 80000000 0 0) >= 0x8000001d)); then
    source="leaf 0x8000001d answers, topology extensions off"
  else
    source="no cache leaf"
  fi
  echo "$source: $({ cache_lines 2; cache_lines 3; } | tr -d '\t\r"' | xargs)"
}

xml_escaped() {
  sed -e 's/&/\&amp;/g' -e 's/"/\&quot;/g' -e "s/'/\\&apos;/g" -e 's/</\&lt;/g' -e 's/>/\&gt;/g' <<<"$1"
}
xml_line() { printf '\t%s="%s"\r\n' "$1" "$(xml_escaped "$2")"; }

expected_sysxml() {
  local vendor
  vendor=$(cpu_vendor)
  printf '<SystemInformation\r\n'
  case $vendor in GenuineIntel | AuthenticAMD) xml_line CpuBrandString "$vendor" ;; esac
  brand_string >/dev/null && xml_line CpuString "$(brand_string)"
  xml_line CpuStepping "$(($(out tsc_freq) / 1000000))"
  xml_line CpuModel Unknown
  xml_line OSIdentifier "$(out ostype)"
  xml_line OSVersion "$(out osrelease)"
  xml_line Hostname "$(out hostname)"
  xml_line OSArchitecture "$(LC_ALL=C tr '[:lower:]' '[:upper:]' <<<"$(out machine)")"
  xml_line TotalMemory "$(($(out physmem) >> 10))"
  xml_line MemoryBarInfo Unknown
  xml_line NumMemoryBars Unknown
  xml_line BIOSVersion "$(out bios_vendor) $(out bios_version)"
  xml_line BoardInfo "$(out board)"
  cache_lines 2
  cache_lines 3
  xml_line GraphicsDriverVersion Unknown
  printf '/>\r\n#'
}

# "name value" of each setting of a hints file, as the loader would pass it.
settings() {
  sed -nE 's/^[[:space:]]*([A-Za-z0-9][-A-Za-z0-9_.]*)[[:space:]]*=[[:space:]]*"([^"]*)".*/\1 \2/p' <<<"$1"
}
# "id value" of each hint.lapic.<id>.disabled setting, by id.
lapic_settings() { settings "$1" | sed -nE 's/^hint\.lapic\.([0-9]+)\.disabled /\1 /p' | sort -n; }
# kenv NAME: the value boot 2's kernel environment holds, from its list.
kenv() {
  awk -v n="$1=" 'index($0, n) == 1 { print substr($0, length(n) + 1); found = 1 }
    END { if (!found) print "(not set)" }' <<<"$(out kenv2)"
}
kernel_settings() {  # the same names as the kernel environment holds them
  local name
  while read -r name _; do echo "$name $(kenv "$name")"; done <<<"$(settings "$1")"
}
# ls_entry NAME LISTING: "type mode owner links" of one entry of an @ls.
ls_entry() { awk -v n="$1" '$6 == n { print $1, $2, $3, $5 }' <<<"$2"; }

# --- the plan lines and checks the scenarios share --------------------------------
# Boot 1: the machine as it came up, every CPU started.
boot1_lines() {
  cat <<EOF
1 set_host       @hostname $host_name
1 leaves         /test/cpuid_probe leaves
1 apic1          /test/cpuid_probe apic
1 kx1            /test/kxtest ids
1 topology1      @sysctl kern.sched.topology_spec
1 sysxml         $tool --sysxml
1 physmem        @sysctl hw.physmem
1 tsc_freq       @sysctl machdep.tsc_freq
1 model          @sysctl hw.model
1 ostype         @sysctl kern.ostype
1 osrelease      @sysctl kern.osrelease
1 hostname       @sysctl kern.hostname
1 machine        @sysctl hw.machine
1 cpus1          @sysctl kern.smp.cpus
1 bios_vendor    @kenv smbios.bios.vendor
1 bios_version   @kenv smbios.bios.version
1 board          @kenv smbios.planar.product
1 show1          $tool --show
EOF
}
boot1_checks() {
  exit_statuses "exit 0" set_host leaves apic1 kx1 topology1 sysxml physmem tsc_freq model ostype osrelease \
    hostname machine cpus1 bios_vendor bios_version board show1
  ids=$(driver_ids kx1)
  check "boot 1: the kernel is FreeBSD $osrelease" "$(out ostype) $(out osrelease)" "FreeBSD $osrelease"
  check "boot 1: the kernel started the $n CPUs given to QEMU, its topology lists them, the driver lists them all" \
    "$(out cpus1)|$(topology_cpus topology1)|$(driver_shared kx1) $(wc -w <<<"$ids")" "$n|$(cpu_list "$n")|$n $n"
  check "boot 1: the driver's APIC ids are those QEMU's layout gives ($qemu_ids), in CPU order as each CPU's cpuid says" \
    "$(sorted "$ids")|$ids" "$qemu_ids|$(probe_ids apic1)"
  check "boot 1: kenv holds the SMBIOS values given to QEMU, and the host name set" \
    "$(out bios_vendor)|$(out bios_version)|$(out board)|$(out hostname)" \
    "$bios_vendor|$bios_version|$board_product|$host_name"
  check "boot 1: the kernel's hw.model is the processor's brand string, leading spaces dropped" \
    "$(out model)" "$(brand_string | sed 's/^ *//')"
  check "boot 1: --sysxml agrees with the kernel and the processor field by field, each line ended by CR LF ($(cpu_vendor), $(cache_summary))" \
    "$(bytes sysxml)" "$(expected_sysxml)"
  check "boot 1: --show, every core shared now and next" "$(bytes show1)" "$(report "$ids" "$ids" "$ids")"
}

# Boot 1, then the split: $split, which keeps the first $keep cores.
split_lines() {
  cat <<EOF
1 hints_before   @cat $hints
1 dry_run        $tool $split --stdout
1 set            $tool $split
1 hints_after    @cat $hints
1 backup         @cat $hints.KxBak
1 ls_boot        @ls /boot
1 verify         $tool --verify
1 show1_next     $tool --show
EOF
}
split_checks() {
  exit_statuses "exit 0" hints_before dry_run set hints_after backup ls_boot verify show1_next
  kept=$(first "$keep" "$ids") withheld=$(rest "$keep" "$ids")
  check "boot 1: $split prints nothing" "$(out set)$(err set)" ""
  check "boot 1: the hints file holds what the dry run printed" "$(bytes hints_after)" "$(bytes dry_run)"
  check "boot 1: the backup holds the text from before" "$(bytes backup)" "$(bytes hints_before)"
  check "boot 1: the backup has the hints file's type, mode and owner" \
    "$(ls_entry device.hints.qvd.KxBak "$(out ls_boot)")" "$(ls_entry device.hints.qvd "$(out ls_boot)")"
  local last_ones
  last_ones=$(rest "$keep" "$qemu_ids")
  check "boot 1: the hints file withholds exactly the driver's last $((n - keep)) cores, APIC ids $last_ones" \
    "$(lapic_settings "$(out hints_after)")" \
    "$(for id in $(sorted "$qemu_ids"); do echo "$id $([[ " $last_ones " == *" $id "* ]] && echo 1 || echo 0)"; done)"
  check "boot 1: --verify finds nothing to say and shows the split of the next boot" \
    "$(status verify)|$(err verify)|$(bytes verify)" "exit 0||$(report "$ids" "$ids" "$kept")"
  check "boot 1: --show, APIC ids $withheld isolated at the next boot" \
    "$(bytes show1_next)" "$(report "$ids" "$ids" "$kept")"
}

# Boot 2: the split in force; then -d.
after_split_lines() {
  cat <<EOF
2 cpus2          @sysctl kern.smp.cpus
2 topology2      @sysctl kern.sched.topology_spec
2 apic2          /test/cpuid_probe apic
2 kx2            /test/kxtest ids
2 show2          $tool --show
2 hints2         @cat $hints
2 kenv2          @kenv
2 delete         $tool -d
2 show2_next     $tool --show
EOF
}
after_split_checks() {
  exit_statuses "exit 0" cpus2 topology2 apic2 kx2 show2 hints2 kenv2 delete show2_next
  ids2=$(driver_ids kx2)
  check "boot 2: the kernel started the $keep CPUs kept: kern.smp.cpus, its topology, the driver's count" \
    "$(out cpus2)|$(topology_cpus topology2)|$(driver_shared kx2)" "$keep|$(cpu_list "$keep")|$keep"
  check "boot 2: the CPUs running are APIC ids $kept, as each one's cpuid says" "$(probe_ids apic2)" "$kept"
  check "boot 2: the driver lists the started CPUs first, then the withheld ones" \
    "$ids2" "$(probe_ids apic2) $(sorted "$withheld")"
  check "boot 2: the boot left the hints file as written" "$(bytes hints2)" "$(bytes hints_after)"
  check "boot 2: the kernel environment holds every setting of the hints file as written" \
    "$(kernel_settings "$(out hints_after)")" "$(settings "$(out hints_after)")"
  check "boot 2: --show, APIC ids $withheld isolated now and next, the others shared" \
    "$(bytes show2)" "$(report "$ids2" "$(first "$keep" "$ids2")" "$kept")"
  check "boot 2: -d prints nothing" "$(out delete)$(err delete)" ""
  check "boot 2: --show after -d, every core shared at the next boot" \
    "$(bytes show2_next)" "$(report "$ids2" "$(first "$keep" "$ids2")" "$ids2")"
}

# Boot 3: after -d, every CPU back unless something read later withholds one.
restored_lines() {
  cat <<EOF
3 cpus3          @sysctl kern.smp.cpus
3 apic3          /test/cpuid_probe apic
3 kx3            /test/kxtest ids
3 show3          $tool --show
EOF
}
restored_checks() {  # restored_checks STARTED: the APIC ids the kernel should run
  local count
  count=$(wc -w <<<"$1")
  exit_statuses "exit 0" cpus3 apic3 kx3 show3
  ids3=$(driver_ids kx3)
  check "boot 3: the kernel started $count CPUs, APIC ids $1 as each one's cpuid says; the driver lists them first" \
    "$(out cpus3) $(driver_shared kx3)|$(probe_ids apic3)|$(first "$count" "$ids3")|$(sorted "$ids3")" \
    "$count $count|$1|$1|$(sorted "$ids")"
  check "boot 3: --show, those shared now, every core shared next" "$(bytes show3)" "$(report "$ids3" "$1" "$ids3")"
}

# --- three boots, with the flat topology and clock hints --------------------------
# After -d, a /boot/loader.conf.local of the administrator's withholds the
# last core. Whether it counts depends on the release: the loader reads that
# file where /boot/defaults/loader.conf lists it, among loader_conf_files
# (before /boot/loader.conf.d and so before the hints file) or in
# local_loader_conf_files (after everything).
last_core() { rest $((n - 1)) "$qemu_ids"; }
three_boots_table() {
  local last_id
  last_id=$(last_core)
  boot1_lines
  split_lines
  cat <<EOF
1 ls_tmp1        @ls /tmp
1 -              @reboot
$(after_split_lines)
2 write_local    @write /boot/loader.conf.local 0644 hint.lapic.$last_id.disabled="1"\n
2 defaults       @cat /boot/defaults/loader.conf
2 verify2        $tool --verify
2 -              @reboot
$(restored_lines)
3 kenv3          @kenv hint.lapic.$last_id.disabled
3 mkdir          @mkdir $sticky 1777
3 write_h        @write $sticky/h 0644 $sample_text
3 write_g        @write $sticky/g 0644 $sample_text
3 write_victim   @write $sticky/victim 0644 root's\sown\sfile\n
3 plant_symlink  @as $attacker -- @symlink $sticky/victim $sticky/h.KxBak
3 plant_link     @as $attacker -- @link $sticky/victim $sticky/g.KxBak
3 ls_planted     @ls $sticky
3 dry_h          $tool -s 1 --strip --stdout -f $sticky/h
3 set_h          $tool -s 1 --strip -f $sticky/h
3 set_g          $tool -s 1 --strip -f $sticky/g
3 cat_h          @cat $sticky/h
3 cat_g          @cat $sticky/g
3 cat_h_bak      @cat $sticky/h.KxBak
3 cat_g_bak      @cat $sticky/g.KxBak
3 cat_victim     @cat $sticky/victim
3 ls_updated     @ls $sticky
3 set_dir        $tool -s 1 -f $sticky
3 set_device     $tool -s 1 -f /dev/null
3 ls_tmp3        @ls /tmp
3 show_device    $tool --show -f /dev/null
3 show_user      @as $attacker -- $tool --show
3 -              @poweroff
EOF
}
three_boots_checks() {
  boot1_checks
  split_checks
  check "boot 1: no temporary file left in /tmp" "$(status ls_tmp1)|$(grep rididezuve- <<<"$(out ls_tmp1)")" "exit 0|"
  after_split_checks
  check "boot 2: the kernel environment holds clock hint 0 for every core and the flat topology" \
    "$(for id in $ids; do kenv "hint.apic.$id.clock"; done | xargs) $(kenv kern.smp.topology)" \
    "$(for _ in $ids; do echo 0; done | xargs) 2"
  local local_last running last_id
  last_id=$(last_core)
  local_last=$(sed -nE 's/^local_loader_conf_files="(.*)".*/ \1 /p' <<<"$(out defaults)" | grep -c ' /boot/loader.conf.local ')
  exit_statuses "exit 0" write_local defaults
  if [ "$local_last" = 1 ]; then
    running=$(sorted "$(tr ' ' '\n' <<<"$ids" | grep -vx "$last_id" | xargs)")
    check "boot 2: --verify: /boot/loader.conf.local, read after the hints file on this release, withholds APIC id $last_id" \
      "$(status verify2)|$(err verify2)|$(bytes verify2)" \
      "exit 1|\"/boot/loader.conf.local\" line 1 sets hint.lapic.$last_id.disabled after \"$hints\"|$(report "$ids2" "$(first "$keep" "$ids2")" "$running")"
  else
    running=$(sorted "$ids")
    check "boot 2: --verify: /boot/loader.conf.local, read before the hints file on this release, changes nothing" \
      "$(status verify2)|$(err verify2)|$(bytes verify2)" "exit 0||$(report "$ids2" "$(first "$keep" "$ids2")" "$ids2")"
  fi
  restored_checks "$running"
  check "boot 3: the kernel environment holds the value for APIC id $last_id of the file the loader read last" \
    "$(status kenv3) $(out kenv3)" "exit 0 $local_last"

  exit_statuses "exit 0" mkdir write_h write_g write_victim plant_symlink plant_link ls_planted \
    dry_h set_h set_g cat_h cat_g cat_h_bak cat_g_bak cat_victim ls_updated ls_tmp3 show_device
  exit_statuses "exit 251" set_dir set_device
  local planted updated moved
  planted=$(out ls_planted)
  check "boot 3: user $attacker planted a symbolic and a hard link to root's file at the backup names" \
    "$(ls_entry h.KxBak "$planted" | cut -d' ' -f3 | cut -d: -f1) $(ls_entry g.KxBak "$planted" | cut -d' ' -f1,3,4) $(grep -c ' h.KxBak -> '"$sticky"'/victim$' <<<"$planted")" \
    "${attacker%%:*} f 0:0 2 1"
  updated=$(out ls_updated)
  check "boot 3: the link targets are untouched" \
    "$(out cat_victim)|$(ls_entry victim "$updated")" "root's own file|f 0644 0:0 1"
  check "boot 3: the updates are whole: the files hold the dry run's text, the backups the old text" \
    "$(bytes cat_h)|$(bytes cat_g)|$(bytes cat_h_bak)|$(bytes cat_g_bak)" \
    "$(bytes dry_h)|$(bytes dry_h)|$(cat "$top/stage$hints"; printf '#')|$(cat "$top/stage$hints"; printf '#')"
  # The symbolic link is renamed aside, never followed, and named on standard
  # error; the hard link is simply replaced by the new backup.
  moved=$(awk '$6 ~ /^h\.KxTmp\./ { print $6 }' <<<"$updated")
  check "boot 3: the backups are root's own files, the planted symbolic link moved aside" \
    "$(ls_entry h.KxBak "$updated")|$(ls_entry g.KxBak "$updated")|$(grep -c -- " $moved -> $sticky/victim\$" <<<"$updated")|$(err set_h)|$(err set_g)" \
    "f 0644 0:0 1|f 0644 0:0 1|1|moved \"$sticky/h.KxBak\" aside to \"$sticky/$moved\": it was not a regular file|"
  check "boot 3: the updates left nothing else behind in the folder" \
    "$(awk '{ print $6 }' <<<"$updated" | sed 's/^h\.KxTmp\.[A-Za-z0-9]\{6\}$/h.KxTmp.XXXXXX/' | tr '\n' ' ')" \
    "g g.KxBak h h.KxBak h.KxTmp.XXXXXX victim "
  check "boot 3: -f naming a folder or a device is refused, nothing created" \
    "$(err set_dir)|$(err set_device)|$(grep -cE 'KxBak|KxCpy|rididezuve-' <<<"$(out ls_tmp3)")" \
    "error creating backup file of \"$sticky\"|error creating backup file of \"/dev/null\"|0"
  # A device is no hints file: refused at once, each core shows its current mode in both columns.
  check "boot 3: --show refuses a device as the hints file at once, and reports all the same" \
    "$(bytes show_device)" "error opening \"/dev/null\"
$(report "$ids3" "$running" "$running")"
  check "boot 3: another user may not open the driver's node (root's, 0600)" \
    "$(status show_user)|$(err show_user)" "exit 254|error query apic-ids"
}

# --- APIC ids with a gap: the split falls on ids, not on CPU numbers --------------
gaps_table() {
  boot1_lines
  split_lines
  echo "1 - @reboot"
  after_split_lines
  echo "2 - @reboot"
  restored_lines
  echo "3 - @poweroff"
}
gaps_checks() {
  boot1_checks
  split_checks
  after_split_checks
  restored_checks "$ids"
}

# --- SMT: the split parts two threads of one core ---------------------------------
# An Intel model, so that the kernel itself knows the threads of a core.
smt_table() {
  boot1_lines
  split_lines
  echo "1 - @reboot"
  after_split_lines
  echo "2 - @poweroff"
}
smt_checks() {
  boot1_checks
  split_checks
  # The last core kept and the first withheld: one core in QEMU's numbering
  # (the thread field is the low bits of the id) and one SMT group of the
  # kernel's topology (its CPUs turned into APIC ids by the probe's list).
  local threads=${cpus##*threads=} sibling withheld_thread kernel_group
  sibling=$(rest $((keep - 1)) "$kept") withheld_thread=$(first 1 "$withheld")
  kernel_group=$(out topology1 | sed -nE '/<cpu /{s/.*>(.*)<\/cpu>.*/\1/;h;}; /name="THREAD"/{g;p;}' |
    tr -d ',' | while read -r list; do
      apics=$(for cpu in $list; do out apic1 | awk -v c="$cpu" '$1 == c { print $2 }'; done | xargs)
      [[ " $apics " == *" $withheld_thread "* ]] && echo "$apics"
    done)
  check "boot 1: APIC id $withheld_thread, withheld, and $sibling, kept, are threads of one core for QEMU and the kernel" \
    "$((sibling >> $(field_width "$threads"))) $kernel_group" \
    "$((withheld_thread >> $(field_width "$threads"))) $(sorted "$sibling $withheld_thread")"
  after_split_checks
}

# --- one boot on a processor model --------------------------------------------------
intel_table() {
  boot1_lines
  echo "1 - @poweroff"
}
intel_checks() {
  boot1_checks
  check "boot 1: the processor is the model's maker's" "$(cpu_vendor)" GenuineIntel
}
amd_table() { intel_table; }
amd_checks() {
  boot1_checks
  check "boot 1: the processor is the model's maker's" "$(cpu_vendor)" AuthenticAMD
}

keep=2 split="-s 2 --flat --write-clock-hint"
scenario three_boots 13.2 4
scenario three_boots 14.2 4
keep=4 split="-s 4"
scenario gaps 14.2 6,sockets=2,cores=3,threads=1
keep=5 split="-s 5"
scenario smt 14.2 8,sockets=2,cores=2,threads=2 Skylake-Client-v4
scenario intel 14.2 6,sockets=2,cores=3,threads=1 Skylake-Client-v4
scenario amd 14.2 4 EPYC-v3

echo "FreeBSD boot tests: $passed passed, $failed failed in $((SECONDS - started)) s"
[ "$failed" -eq 0 ]
