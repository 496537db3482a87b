#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Boots the FreeBSD executable on a real FreeBSD kernel three times, with the
# package's files staged as pkg installs them, and checks each boot against
# what the kernel itself answers in that boot (sysctl, kenv, its boot
# messages, the driver's own answer) and the values given to QEMU:
#   boot 1  --sysxml field by field, --show, -s 2 --flat --write-clock-hint
#   boot 2  the kernel started 2 CPUs and holds the hints as written; -d
#   boot 3  all CPUs again; updates in a sticky world-writable folder where
#           another user planted links at the backup names; -f refusals
# The VM kit (run-vm) is ../shared/freebsd-vm, or FREEBSD_VM_DIR; without it
# or without qemu-system-x86_64 the test says so in one line and passes.
# Results stay in BUILD_DIR/boot-test for a look after a failure.
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

# The machine the test asks QEMU for, and what it does there.
cpus=4
memory_mib=448
keep=2
bios_vendor='Rdz "Test" & Co'
bios_version="<1.07'b>"
board_product='Board & <Rev 2>'
host_name="rdz-vm&<\"'>"
attacker=1001:1001

work=$build/boot-test
rm -rf "$work"
mkdir -p "$work/stage" "$work/plan" || exit 1
started=$SECONDS

# --- the package, as pkg installs it --------------------------------------------
# A DESTDIR install of the build under the port's prefix, then what pkg does for
# each "@sample FILE TARGET" of the port's PLIST_FILES: copy FILE to TARGET
# unless TARGET is there.
stage_package() {
  local dest=$1 sample target
  DESTDIR=$dest cmake --install "$build" --prefix /usr/local >"$work/install.log" 2>&1 || {
    cat "$work/install.log"
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
stage_package "$work/stage" || { echo "FAIL: staging the package"; exit 1; }
staged=$(cd "$work/stage" && find . -type f -path '*/sbin/rididezuve' | head -n 1)
tool=${staged#.}
hints=/boot/device.hints.qvd
[ -n "$tool" ] || { echo "FAIL: the install holds no sbin/rididezuve"; exit 1; }

# A seed for the kernel's random device, which the loader hands over: without
# one the kernel announces "random: unblocking device." at a random moment of
# the first plan lines, and a message inside a result frame spoils it.
mkdir -p "$work/seed/boot"
head -c 4096 /dev/urandom >"$work/seed/boot/entropy"

# Helpers run in the VM from /test: the kit's driver probe, and a program that
# sets the host name (the system has no hostname(1)).
cp "$kit/kxpaldrv/kxtest" "$work/plan/kxtest"
clang-19 --target=x86_64-unknown-freebsd13.5 --sysroot="$sysroot" -fuse-ld=lld-19 -O2 -Wall \
  -o "$work/plan/set_hostname" "$root/tests/freebsd/set_hostname.c" ||
  { echo "FAIL: building set_hostname for FreeBSD"; exit 1; }

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
sample_text=$(plan_text "$work/stage$hints")
sticky=/tmp/sticky

# Names the kernel environment is asked for in boot 2: those of the staged
# file, and every hint the tool may write for the CPUs QEMU was given (QEMU
# numbers their APIC ids from 0; a setting of the file that no plan line asks
# for fails the check of boot 2 by name).
kenv_names=$( {
  sed -nE 's/^[[:space:]]*([A-Za-z0-9][-A-Za-z0-9_.]*)[[:space:]]*=.*/\1/p' "$work/stage$hints"
  for ((i = 0; i < cpus; i++)); do echo "hint.lapic.$i.disabled"; echo "hint.apic.$i.clock"; done
  echo kern.smp.topology
} | sort -u)

# --- the plan: BOOT NAME COMMAND, one line of the runner's plan each ----------
plan_table() {
  cat <<EOF
1 kx1            /test/kxtest ids
1 help           $tool --help
1 set_host       /test/set_hostname $host_name
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
1 hints_before   @cat $hints
1 dry_run        $tool -s $keep --flat --write-clock-hint --stdout
1 set            $tool -s $keep --flat --write-clock-hint
1 hints_after    @cat $hints
1 backup         @cat $hints.KxBak
1 ls_boot        @ls /boot
1 ls_tmp1        @ls /tmp
1 verify         $tool --verify
1 show1_next     $tool --show
1 -              @reboot
2 cpus2          @sysctl kern.smp.cpus
2 kx2            /test/kxtest ids
2 show2          $tool --show
$(for name in $kenv_names; do echo "2 kenv:$name @kenv $name"; done)
2 delete         $tool -d
2 show2_next     $tool --show
2 -              @reboot
3 cpus3          @sysctl kern.smp.cpus
3 kx3            /test/kxtest ids
3 show3          $tool --show
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

declare -A where
write_plans() {
  local boot name command
  local -A lines
  while read -r boot name command; do
    echo "$command" >>"$work/plan/boot-$boot.plan"
    [ "$name" = - ] && continue
    lines[$boot]=$((${lines[$boot]:-0} + 1))
    where[$name]=$work/out/boot-$boot/${lines[$boot]}
  done < <(plan_table)
}
write_plans

FREEBSD_SYSROOT=$sysroot "$kit/run-vm" --tool "$work/stage$tool" --stage "$work/stage" --stage "$work/seed" --plan "$work/plan" --out "$work/out" \
  --cpus "$cpus" --mem "$memory_mib" --timeout 240 \
  --smbios "type=0,vendor=$bios_vendor,version=$bios_version" \
  --smbios "type=2,manufacturer=Rdz,product=$board_product" 2>"$work/run-vm.log"
run_vm_status=$?

# --- what came back ------------------------------------------------------------
# out NAME: the line's standard output, trailing newlines dropped; bytes NAME:
# all of it, with a final '#' so that nothing is dropped.
out() { cat "${where[$1]:-$work/no-such-line}.stdout" 2>/dev/null; }
err() { cat "${where[$1]:-$work/no-such-line}.stderr" 2>/dev/null; }
bytes() { cat "${where[$1]:-$work/no-such-line}.stdout" 2>/dev/null; printf '#'; }
status() { cat "${where[$1]:-$work/no-such-line}.status" 2>/dev/null || echo "no result"; }

passed=0 failed=0
check() {  # check DESCRIPTION ACTUAL EXPECTED
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL $1"
    diff <(printf '%s\n' "$3" | cat -A) <(printf '%s\n' "$2" | cat -A) | sed 's/^/    /'
  fi
}
exit_statuses() {  # exit_statuses STATUS NAME...: each named line ended so
  local want=$1 name got=""
  shift
  for name; do [ "$(status "$name")" = "$want" ] || got+="$name: $(status "$name"); "; done
  check "lines ending with $want: $*" "$got" ""
}

xml_escaped() {
  sed -e 's/&/\&amp;/g' -e 's/"/\&quot;/g' -e "s/'/\\&apos;/g" -e 's/</\&lt;/g' -e 's/>/\&gt;/g' <<<"$1"
}
xml_line() { printf '\t%s="%s"\r\n' "$1" "$(xml_escaped "$2")"; }
attribute() {  # attribute NAME: its value in the --sysxml output, as written
  tr -d '\r' <"${where[sysxml]}.stdout" | sed -n "s/^\t$1=\"\(.*\)\"\$/\1/p"
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
# The driver's answer "shared S count C ids A B ...": S, and the ids.
driver_shared() { out "$1" | awk '{ print $2 }'; }
driver_ids() { out "$1" | cut -d' ' -f6-; }

# What the kernel printed about the processor at its first boot.
boot_messages=$(tr -d '\r' <"$work/out/console.log" 2>/dev/null | sed '/^---<<BOOT>>---$/,$!d' | sed '/^@@/q')
cpu_vendor=$(sed -nE 's/^ +Origin="([^"]*)".*/\1/p' <<<"$boot_messages" | head -n 1)
amd_features2=$(sed -nE 's/^ +AMD Features2=(0x[0-9a-f]+).*/\1/p' <<<"$boot_messages" | head -n 1)

# The cache lines: AMD describes its caches to the tool only with topology
# extensions (AMD Features2 bit 22), other vendors but Intel not at all; then
# both sizes read 0. Otherwise only their form can be checked here.
cache_lines() {
  if [ "$cpu_vendor" = GenuineIntel ] ||
    { [ "$cpu_vendor" = AuthenticAMD ] && (((${amd_features2:-0} & 0x400000) != 0)); }; then
    tr -d '\r' <"${where[sysxml]}.stdout" | grep -E '^	L[23]Cache' |
      grep -vE '^	L[23]Cache(Size|Assoc|Amount)="[0-9]+"$' | sed 's/^/malformed: /'
    tr -d '\r' <"${where[sysxml]}.stdout" | grep -E '^	L[23]Cache' | sed 's/$/\r/'
  else
    xml_line L2CacheSize 0
    xml_line L3CacheSize 0
  fi
}

expected_sysxml() {
  local cpu_string physmem
  printf '<SystemInformation\r\n'
  case $cpu_vendor in GenuineIntel | AuthenticAMD) xml_line CpuBrandString "$cpu_vendor" ;; esac
  # The kernel's hw.model is the brand string without its leading spaces.
  cpu_string=$(attribute CpuString)
  [ "${cpu_string#"${cpu_string%%[! ]*}"}" = "$(xml_escaped "$(out model)")" ] || cpu_string=$(xml_escaped "$(out model)")
  printf '\tCpuString="%s"\r\n' "$cpu_string"
  xml_line CpuStepping "$(($(out tsc_freq) / 1000000))"
  xml_line CpuModel Unknown
  xml_line OSIdentifier "$(out ostype)"
  xml_line OSVersion "$(out osrelease)"
  xml_line Hostname "$(out hostname)"
  xml_line OSArchitecture "$(LC_ALL=C tr '[:lower:]' '[:upper:]' <<<"$(out machine)")"
  physmem=$(out physmem)
  xml_line TotalMemory "$((physmem >> 10))"
  xml_line MemoryBarInfo Unknown
  xml_line NumMemoryBars Unknown
  xml_line BIOSVersion "$(out bios_vendor) $(out bios_version)"
  xml_line BoardInfo "$(out board)"
  cache_lines
  xml_line GraphicsDriverVersion Unknown
  printf '/>\r\n#'
}

# "name value" of each setting of a hints file, as the loader would pass it.
settings() {
  sed -nE 's/^[[:space:]]*([A-Za-z0-9][-A-Za-z0-9_.]*)[[:space:]]*=[[:space:]]*"([^"]*)".*/\1 \2/p' <<<"$1"
}
kernel_settings() {  # the same names as the kernel environment holds them
  local name
  while read -r name _; do
    if [ -n "${where[kenv:$name]:-}" ]; then
      echo "$name $(out "kenv:$name")"
    else
      echo "$name (not asked: no plan line for it)"
    fi
  done <<<"$(settings "$1")"
}
# ls_entry NAME LISTING: "type mode owner links" of one entry of an @ls.
ls_entry() { awk -v n="$1" '$6 == n { print $1, $2, $3, $5 }' <<<"$2"; }

# run-vm's verdict, but for one fault of its own: it looks for each boot's
# "@@DONE" line with "tr | grep -q" under pipefail, which fails whenever grep
# quits before tr has written the rest of the console log. Such a complaint
# is dropped when the console does hold that line.
vm_problems() {
  local boot action
  grep -E 'TIMEOUT|exited with status|frame .* is (damaged|incomplete)|bad base64|MISSING' "$work/run-vm.log"
  grep -E '^boot [0-9]+: no @@DONE ' "$work/run-vm.log" | while read -r _ boot _ _ action; do
    tr -d '\r' <"$work/out/console.log" | grep -xF "@@DONE ${boot%:} $action" >/dev/null ||
      echo "boot $boot no @@DONE $action"
  done
}

# --- boot 1 ----------------------------------------------------------------------
check "run-vm: the VM powered off and every frame came back whole" \
  "$(if [[ $run_vm_status == [01] ]]; then vm_problems; else echo "run-vm status $run_vm_status"; fi)" ""
exit_statuses "exit 0" kx1 help set_host sysxml physmem tsc_freq model ostype osrelease hostname machine \
  cpus1 bios_vendor bios_version board show1 hints_before dry_run set hints_after backup ls_boot ls_tmp1 show1_next
ids=$(driver_ids kx1)
check "boot 1: the kernel started the $cpus CPUs given to QEMU, the driver lists them all" \
  "$(out cpus1) $(driver_shared kx1) $(wc -w <<<"$ids")" "$cpus $cpus $cpus"
check "boot 1: kenv holds the SMBIOS values given to QEMU, and the host name set" \
  "$(out bios_vendor)|$(out bios_version)|$(out board)|$(out hostname)" \
  "$bios_vendor|$bios_version|$board_product|$host_name"
check "boot 1: --sysxml agrees with the kernel field by field, each line ended by CR LF" \
  "$(bytes sysxml)" "$(expected_sysxml)"
check "boot 1: --show, every core shared now and next" "$(bytes show1)" "$(report "$ids" "$ids" "$ids")"
check "boot 1: -s $keep --flat --write-clock-hint prints nothing" "$(out set)$(err set)" ""
check "boot 1: the hints file holds what the dry run printed" "$(bytes hints_after)" "$(bytes dry_run)"
check "boot 1: the backup holds the text from before" "$(bytes backup)" "$(bytes hints_before)"
check "boot 1: the backup has the hints file's type, mode and owner" \
  "$(ls_entry device.hints.qvd.KxBak "$(out ls_boot)")" "$(ls_entry device.hints.qvd "$(out ls_boot)")"
check "boot 1: no temporary file left in /tmp" "$(grep rididezuve- <<<"$(out ls_tmp1)")" ""
check "boot 1: --show, the last $((cpus - keep)) cores isolated at the next boot" \
  "$(bytes show1_next)" "$(report "$ids" "$ids" "$(first $keep "$ids")")"
# The check of the next boot's hints file. It runs where the tool offers it.
if grep -q -- --verify <<<"$(out help)"; then
  exit_statuses "exit 0" verify
else
  echo "skipped: --verify in boot 1 (this build's --help does not offer it)"
fi

# --- boot 2 ----------------------------------------------------------------------
mapfile -t written < <(settings "$(out hints_after)" | cut -d' ' -f1 | sed 's/^/kenv:/')
exit_statuses "exit 0" cpus2 kx2 show2 delete show2_next "${written[@]}"
ids2=$(driver_ids kx2)
check "boot 2: the kernel started the $keep CPUs kept, the driver lists them first" \
  "$(out cpus2) $(driver_shared kx2) $(first $keep "$ids2")" "$keep $keep $(first $keep "$ids")"
check "boot 2: the driver still lists the same CPUs" "$(tr ' ' '\n' <<<"$ids2" | sort -n)" "$(tr ' ' '\n' <<<"$ids" | sort -n)"
check "boot 2: the kernel environment holds every setting of the hints file as written" \
  "$(kernel_settings "$(out hints_after)")" "$(settings "$(out hints_after)")"
check "boot 2: hints in the kernel environment: disabled per core, clock 0, flat topology" \
  "$(for id in $ids; do echo "$(out "kenv:hint.lapic.$id.disabled") $(out "kenv:hint.apic.$id.clock")"; done
     out kenv:kern.smp.topology)" \
  "$(for id in $(first $keep "$ids"); do echo "0 0"; done; for id in $(rest $keep "$ids"); do echo "1 0"; done; echo 2)"
check "boot 2: --show, the first $keep shared, the others isolated now and next" \
  "$(bytes show2)" "$(report "$ids2" "$(first $keep "$ids2")" "$(first $keep "$ids")")"
check "boot 2: -d prints nothing" "$(out delete)$(err delete)" ""
check "boot 2: --show after -d, every core shared at the next boot" \
  "$(bytes show2_next)" "$(report "$ids2" "$(first $keep "$ids2")" "$ids2")"

# --- boot 3 ----------------------------------------------------------------------
exit_statuses "exit 0" cpus3 kx3 show3 mkdir write_h write_g write_victim plant_symlink plant_link ls_planted \
  dry_h set_h set_g cat_h cat_g cat_h_bak cat_g_bak cat_victim ls_updated ls_tmp3 show_device
exit_statuses "exit 251" set_dir set_device
ids3=$(driver_ids kx3)
check "boot 3: the kernel started all $cpus CPUs again" "$(out cpus3) $(driver_shared kx3)" "$cpus $cpus"
check "boot 3: --show, every core shared now and next" "$(bytes show3)" "$(report "$ids3" "$ids3" "$ids3")"
planted=$(out ls_planted)
check "boot 3: user $attacker planted a symbolic and a hard link to root's file at the backup names" \
  "$(ls_entry h.KxBak "$planted" | cut -d' ' -f3 | cut -d: -f1) $(ls_entry g.KxBak "$planted" | cut -d' ' -f1,3,4) $(grep -c ' h.KxBak -> '"$sticky"'/victim$' <<<"$planted")" \
  "${attacker%%:*} f 0:0 2 1"
updated=$(out ls_updated)
check "boot 3: the link targets are untouched" \
  "$(out cat_victim)|$(ls_entry victim "$updated")" "root's own file|f 0644 0:0 1"
check "boot 3: the updates are whole: the files hold the dry run's text, the backups the old text" \
  "$(bytes cat_h)|$(bytes cat_g)|$(bytes cat_h_bak)|$(bytes cat_g_bak)" \
  "$(bytes dry_h)|$(bytes dry_h)|$(cat "$work/stage$hints"; printf '#')|$(cat "$work/stage$hints"; printf '#')"
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

check "boot 3: --show refuses a device as the hints file at once, and reports all the same" \
  "$(bytes show_device)" "error opening \"/dev/null\"
$(report "$ids3" "$ids3" "$ids3")"
check "boot 3: another user may not open the driver's node (root's, 0600)" \
  "$(status show_user)|$(err show_user)" "exit 254|error query apic-ids"

echo "FreeBSD boot test: $passed passed, $failed failed in $((SECONDS - started)) s ($(tail -n 1 "$work/out/summary.txt" 2>/dev/null))"
if [ "$failed" -gt 0 ]; then
  echo "run-vm said:"
  sed 's/^/    /' "$work/run-vm.log"
  echo "results in $work/out"
  exit 1
fi
