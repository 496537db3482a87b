#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The Ansible module end to end: ansible-doc renders it and its documented
# options are those it accepts, the example playbook parses, and
# ansible_module_test.yml runs the module with the real ansible-playbook
# against the built tool under the driver stand-in.
# Usage: ansible_module_test.sh SOURCE_DIR TOOL DRIVER_SIM [SANITIZER_RUNTIME]
set -euo pipefail

source_dir=$1
tool=$2
driver_sim=$3
sanitizer_runtime=${4:-}
library=$source_dir/contrib/ansible/library
skip=77

for program in ansible-playbook ansible-doc; do
  if ! command -v "$program" >/dev/null 2>&1; then
    echo "SKIP: $program is not installed (Debian: ansible-core; scripts/install-deps installs it)"
    exit "$skip"
  fi
done

# Python as Ansible itself runs it, which can import Ansible's module helpers.
read -r -a python <<<"$(sed -n '1s/^#! *//p' "$(command -v ansible-playbook)")"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/bin"

# Ansible keeps its temporary files, its home and its settings in the
# scratch folder: nothing of the user's own configuration takes part.
: >"$scratch/ansible.cfg"
export ANSIBLE_CONFIG=$scratch/ansible.cfg
export ANSIBLE_HOME=$scratch/ansible-home
export ANSIBLE_LOCAL_TEMP=$scratch/ansible-local
export ANSIBLE_REMOTE_TEMP=$scratch/ansible-remote
export ANSIBLE_LIBRARY=$library
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0

# --- ansible-doc and the example playbook -----------------------------------
ansible-doc -M "$library" rididezuve </dev/null | grep -q '^> RIDIDEZUVE' ||
  { echo "FAIL: ansible-doc does not render the module"; exit 1; }
# The documented options, with their types and defaults, must be exactly
# those the module hands to Ansible.
ansible-doc --json -M "$library" rididezuve </dev/null | "${python[@]}" -c '
import json, runpy, sys
doc = json.load(sys.stdin)["rididezuve"]
accepted = runpy.run_path(sys.argv[1])["OPTIONS"]
pairs = lambda options: {k: (v["type"], v.get("default")) for k, v in options.items()}
if pairs(doc["doc"]["options"]) != pairs(accepted) or not doc["examples"].strip() \
        or not {"cores", "reboot_required", "boot_applies"} <= set(doc["return"]):
    sys.exit("FAIL: DOCUMENTATION, EXAMPLES or RETURN do not match the module")
' "$library/rididezuve.py"
ansible-playbook -i localhost, --syntax-check "$source_dir/contrib/ansible/fleet.yml" \
  >"$scratch/syntax.log" 2>&1 </dev/null ||
  { cat "$scratch/syntax.log"; echo "FAIL: contrib/ansible/fleet.yml does not parse"; exit 1; }

# --- the playbook ----------------------------------------------------------------
# The task's environment carries the stand-in into the module and so into the
# tool. A sanitizer runtime the tool loads dynamically must come first; its
# leak check then also runs in Python, whose own leaks at exit are not the
# tool's and are suppressed.
preload=$driver_sim lsan=
if [ -n "$sanitizer_runtime" ]; then
  preload=$sanitizer_runtime:$driver_sim
  echo "leak:python3" >"$scratch/lsan.supp"
  lsan=suppressions=$scratch/lsan.supp
fi
# An update stopped in its copy back, for the module to repair: the text
# already holds the split, so the edit of what the stop left equals it, and
# only the tool's word tells the module that the file is torn. The stop
# needs strace and, for the temporary file it leaves, a /tmp of its own.
torn=
if [ "$(id -u)" = 0 ] && command -v strace >/dev/null 2>&1 && unshare -m true 2>/dev/null; then
  mkdir -p "$scratch/torn/tmp"
  { printf 'hint.lapic.%s.disabled="%s"\n' 0 0 2 0 16 1 18 1
    printf 'kern.smp.topology="2"\n'
    printf '#%062d\n' $(seq 2000); } >"$scratch/torn/device.hints.qvd"
  # The subshell, not this one, reports the kill (to nowhere). The inner
  # script's $1 is its own argument, hence the single quotes.
  # shellcheck disable=SC2016
  (unshare -m sh -c 'cd "$1" && mount --bind tmp /tmp && shift && exec "$@"' sh "$scratch/torn" \
    strace -f -qq -o /dev/null -P "$scratch/torn/device.hints.qvd" -e trace=write \
    -e inject=write:signal=KILL:when=2 env LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0 \
    KXPALDRV_SIM_IDS=0,2,16,18 KXPALDRV_SIM_SHARED=4 "$tool" -s 2 --flat -f device.hints.qvd ||
    true) 2>/dev/null
  [ "$(wc -c <"$scratch/torn/device.hints.qvd")" -eq 65536 ] ||
    { echo "FAIL: the stopped update did not tear the file"; exit 1; }
  torn=$scratch/torn/device.hints.qvd
fi

status=0
ansible-playbook -i localhost, -c local "$(dirname "$0")/ansible_module_test.yml" \
  -e "$(printf '{"tool": "%s", "scratch": "%s", "preload": "%s", "lsan": "%s", "torn": "%s"}' \
    "$tool" "$scratch" "$preload" "$lsan" "$torn")" >"$scratch/playbook.log" 2>&1 </dev/null || status=$?
# A module that breaks shows a traceback, also in a task whose failure was expected.
if [ "$status" -ne 0 ] || grep -q 'Traceback' "$scratch/playbook.log"; then
  cat "$scratch/playbook.log"
  echo "FAIL: the playbook failed (status $status) or a module raised"
  exit 1
fi
grep -E '^localhost +:' "$scratch/playbook.log"
