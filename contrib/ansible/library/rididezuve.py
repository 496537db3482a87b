#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: BSD-2-Clause
# Ansible module for rididezuve: sets the split of shared and isolated cores
# in the boot hints file, idempotently, and reports the split per core.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: rididezuve
short_description: Set which CPU cores FreeBSD keeps after the next boot
description:
  - Runs C(rididezuve) on the managed host to decide which CPU cores the
    operating system keeps after the next boot (the shared cores) and which it
    withholds for the real-time runtime (the isolated cores), by editing the
    boot loader's hints file.
  - Idempotent. The edit is first made with C(--stdout) and compared with the
    file byte for byte; only when they differ is the file updated. An
    unchanged file is not written, so its backup C(FILE.KxBak) keeps the text
    from before the last real change.
  - When the tool says that an earlier update was stopped while it rewrote
    the file, the update runs whatever the comparison says; it puts the
    backup's text back, then makes the edit, and the task is changed. When
    the tool cannot tell whether the file is whole, the task fails with the
    tool's message and the files stay as they are.
  - Without I(shared) the module changes nothing and only reports the split.
  - Nothing changes on the running system; the new split takes effect at the
    next boot. I(reboot_required) tells whether a reboot is due.
options:
  shared:
    description:
      - How many cores stay shared after the next boot, counted in the
        driver's order from the first core (C(rididezuve -s N)); the rest
        are isolated. The first core always stays shared.
      - C(all) makes every core shared (C(rididezuve -d)).
      - Anything else, a number below 1 included, fails the task.
      - Left out, the module only reports.
    type: raw
  flat:
    description:
      - Make sure the file holds C(kern.smp.topology="2") (C(--flat)).
      - Needs I(shared).
    type: bool
    default: false
  strip:
    description:
      - Drop the hints of APIC ids that the driver does not report
        (C(--strip)).
      - Needs I(shared).
    type: bool
    default: false
  write_clock_hint:
    description:
      - Make sure every core has C(hint.apic.<id>.clock="0")
        (C(--write-clock-hint)).
      - Needs I(shared).
    type: bool
    default: false
  file:
    description:
      - The hints file on the managed host, an absolute path. It must exist
        before an update; it is never created. The rididezuve package
        installs the default one.
    type: path
    default: /boot/device.hints.qvd
  executable:
    description:
      - The C(rididezuve) program on the managed host.
      - By default it is looked up on the host's C(PATH), then in the system
        directories, /usr/local/sbin among them, where the port installs it.
    type: path
requirements:
  - C(rididezuve) on the managed host, and the real-time runtime's driver
    C(/dev/kxpaldrv) for every run.
attributes:
  check_mode:
    description: Reports what would change and writes nothing.
    support: full
  diff_mode:
    description: Shows the hints file before and after the edit.
    support: full
  platform:
    description: FreeBSD amd64 hosts with the real-time runtime's driver.
    support: full
    platforms: freebsd
notes:
  - The module honours the task's C(environment), which reaches the tool.
  - In check mode I(cores) shows the next boot as the edited text would set
    it; the tool reads that text from a temporary copy, never from the hints
    file itself.
  - The boot loader reads the hints file only where a C(loader_conf_files)
    line names it. The rididezuve package installs
    C(/boot/loader.conf.d/rididezuve.conf), whose line names the default
    hints file, and the default hints file itself, empty but for comments; a
    hints file of another name needs a line of its own.
author:
  - rididezuve developers (@rididezuve)
"""

EXAMPLES = r"""
- name: Keep four cores for FreeBSD and isolate the rest
  rididezuve:
    shared: 4
    flat: true
    write_clock_hint: true
  register: split

- name: Reboot when the next boot differs from now or the hints changed
  ansible.builtin.reboot:
  when: split is changed or split.reboot_required

- name: Give every core back to FreeBSD, on a hints file of its own
  rididezuve:
    shared: all
    file: /boot/device.hints.lab

- name: Only report the split
  rididezuve:
  register: report
"""

RETURN = r"""
cores:
  description:
    - Every core in the driver's order, as the tool's core mode report shows
      it after the task; in check mode the next boot is the one the edited
      text would give.
  returned: success
  type: list
  elements: dict
  contains:
    cpu:
      description: The core's index in the driver's order.
      type: int
      sample: 2
    apic_id:
      description: The core's local APIC id (the report shows it in hexadecimal).
      type: int
      sample: 16
    now:
      description: The core's mode now, C(shared) or C(isolated).
      type: str
      sample: shared
    next_boot:
      description: The core's mode after the next boot, C(shared) or C(isolated).
      type: str
      sample: isolated
  sample:
    - {cpu: 0, apic_id: 0, now: shared, next_boot: shared}
    - {cpu: 1, apic_id: 2, now: shared, next_boot: isolated}
reboot_required:
  description:
    - Whether some core's mode at the next boot differs from its mode now.
    - Changes of the topology or clock hints alone also take effect only at
      the next boot, but do not set it; reboot when the task changed too.
  returned: success
  type: bool
  sample: true
boot_applies:
  description:
    - Whether the next boot applies the hints file, as C(rididezuve --verify)
      finds; that is, the boot loader reads it, nothing it reads later sets
      the same hints again, and it takes every line of the file.
    - Each reason why not is also a warning of the task.
    - In check mode, the verdict on the hints file as it stands on the host.
  returned: success
  type: bool
  sample: true
rc:
  description: The tool's exit status when it failed.
  returned: failure
  type: int
  sample: 254
stderr:
  description: The tool's standard error when it failed.
  returned: failure
  type: str
  sample: error query apic-ids
"""

import os
import re
import tempfile

from ansible.module_utils.basic import AnsibleModule

OPTIONS = dict(
    shared=dict(type="raw"),
    flat=dict(type="bool", default=False),
    strip=dict(type="bool", default=False),
    write_clock_hint=dict(type="bool", default=False),
    file=dict(type="path", default="/boot/device.hints.qvd"),
    executable=dict(type="path"),
)

# The tool's options for the three boolean modifiers.
MODIFIERS = (
    ("flat", "--flat"),
    ("strip", "--strip"),
    ("write_clock_hint", "--write-clock-hint"),
)

# The tool reads its -s number as a signed 32-bit value.
MAX_SHARED = 2 ** 31 - 1

# One row of the core mode report: index, APIC id in hexadecimal, mode now,
# mode at the next boot. The header, the separator and any "error opening"
# line ahead of them do not match.
REPORT_ROW = re.compile(
    r"^\s*(\d+)\s*\|\s*([0-9a-fA-F]+)\s*\|\s*(shared|isolated)\s*\|\s*(shared|isolated)\s*$"
)


class ToolFailure(Exception):
    """A run of the tool that failed; carries what fail_json reports."""

    def __init__(self, msg, **details):
        Exception.__init__(self, msg)
        self.msg = msg
        self.details = details


def parse_shared(value):
    """None (report only), "all", or a count of at least 1; None and an error otherwise."""
    if value is None:
        return None, None
    # YAML's yes and no arrive as booleans, which Python would count as 1 and 0.
    if isinstance(value, bool):
        return None, "shared must be a number of cores or 'all', not %s" % value
    if isinstance(value, int):
        count = value
    else:
        text = str(value).strip()
        if text == "all":
            return "all", None
        # Templated arguments arrive as text, a negative number included.
        if not re.match(r"^[+-]?[0-9]+$", text):
            return None, "shared must be a number of cores or 'all', not %s" % value
        count = int(text)
    if count < 1 or count > MAX_SHARED:
        return None, "shared must be between 1 and %d, or 'all', not %d" % (MAX_SHARED, count)
    return count, None


def find_tool(module):
    """The path of the tool; fails the task when there is none to run."""
    path = module.params["executable"]
    if path is None:
        # get_bin_path looks through /sbin, /usr/sbin and /usr/local/sbin after PATH.
        path = module.get_bin_path("rididezuve")
        if path is None:
            module.fail_json(
                msg="rididezuve was not found on PATH or in /usr/local/sbin; "
                "install it or set executable"
            )
    if not (os.path.isfile(path) and os.access(path, os.X_OK)):
        module.fail_json(msg="executable %s is not an executable file" % path)
    return path


def to_text(data):
    return data.decode("utf-8", "replace")


def error_message(rc, stdout, stderr):
    """The tool's own words for a failure: the "error opening" lines it writes
    to standard output, then its standard error; its exit status otherwise."""
    lines = [line for line in to_text(stdout).splitlines() if line.startswith("error opening ")]
    lines += [line for line in to_text(stderr).splitlines() if line.strip()]
    if lines:
        return "; ".join(lines)
    if rc < 0:
        return "rididezuve was killed by signal %d" % -rc
    return "rididezuve exited with status %d" % rc


def run_tool_status(module, tool, args, accepted):
    """The status, standard output (bytes) and standard error (lines) of a run
    that ended with one of the accepted statuses, each line on standard error
    a warning; raises ToolFailure otherwise."""
    command = [tool] + args
    rc, stdout, stderr = module.run_command(command, encoding=None)
    if rc not in accepted:
        raise ToolFailure(
            error_message(rc, stdout, stderr),
            rc=rc,
            stderr=to_text(stderr),
            cmd=command,
        )
    notes = [line for line in to_text(stderr).splitlines() if line.strip()]
    for line in notes:
        module.warn("rididezuve: %s" % line)
    return rc, stdout, notes


def run_tool(module, tool, args):
    """Standard output of a successful run, as bytes; raises ToolFailure."""
    return run_tool_status(module, tool, args, (0,))[1]


# How the tool begins the line that says an earlier update was stopped while
# it rewrote the hints file; "incomplete" ends with the backup it restores from.
INCOMPLETE = re.compile(r'^incomplete ".*" after an interrupted update: .* from "(.*)"$')
UNCLEAR = "cannot tell whether "


def parse_report(text):
    """The rows of the core mode report as dicts; the header, the separator
    and other lines are skipped."""
    cores = []
    for line in text.splitlines():
        match = REPORT_ROW.match(line)
        if match:
            cores.append(
                dict(
                    cpu=int(match.group(1)),
                    apic_id=int(match.group(2), 16),
                    now=match.group(3),
                    next_boot=match.group(4),
                )
            )
    return cores


def report(module, tool, hints_path):
    """The cores as --show reports them for hints_path; raises ToolFailure."""
    stdout = run_tool(module, tool, ["--show", "-f", hints_path])
    text = to_text(stdout)
    # The tool reports a file it could not read and goes on with the modes now.
    for line in text.splitlines():
        if line.startswith("error opening "):
            module.warn("rididezuve: %s; the next boot is shown as now" % line)
    cores = parse_report(text)
    if not cores:
        raise ToolFailure("the core mode report of rididezuve lists no cores", stdout=text)
    return cores


def boot_applies(module, tool, hints_path):
    """The verdict of --verify on hints_path: True, or False with each
    finding as a warning; raises ToolFailure when the run itself fails."""
    return run_tool_status(module, tool, ["--verify", "-f", hints_path], (0, 1))[0] == 0


def edit_arguments(shared, params):
    """The tool's command line for the edit, without --stdout and -f."""
    args = ["-d"] if shared == "all" else ["-s", str(shared)]
    for name, option in MODIFIERS:
        if params[name]:
            args.append(option)
    return args


def read_bytes(module, path):
    try:
        with open(path, "rb") as hints:
            return hints.read()
    except (IOError, OSError) as error:
        module.fail_json(msg="cannot read %s: %s" % (path, error))


def write_temporary(module, data):
    """A file in the module's own temporary folder holding data; Ansible
    removes the folder when the task ends."""
    handle, path = tempfile.mkstemp(prefix="rididezuve-", dir=module.tmpdir)
    with os.fdopen(handle, "wb") as temporary:
        temporary.write(data)
    return path


def apply_split(module, tool, shared, result):
    """Edits the hints file when the edit changes it, or when an earlier
    update was stopped in its copy back; returns the file whose report shows
    the next boot after the task."""
    hints_path = module.params["file"]
    edit = edit_arguments(shared, module.params)
    proposed, notes = run_tool_status(module, tool, edit + ["--stdout", "-f", hints_path], (0,))[1:]
    current = read_bytes(module, hints_path)
    # After a stop in the copy back the comparison says nothing: a torn
    # file's edit may equal the torn file. Only the update repairs it, or
    # refuses it with its own status and message when it cannot tell.
    unclear = [line for line in notes if line.startswith(UNCLEAR)]
    if unclear and module.check_mode:
        raise ToolFailure("; ".join(unclear))
    torn = [match for match in map(INCOMPLETE.match, notes) if match]
    if torn:
        # What the update makes: the edit of the backup it puts back first.
        proposed = run_tool(module, tool, edit + ["--stdout", "-f", torn[0].group(1)])
    elif proposed == current and not unclear:
        return hints_path

    if module._diff:
        result["diff"] = dict(
            before=to_text(current),
            after=to_text(proposed),
            before_header=hints_path,
            after_header=hints_path,
        )
    if module.check_mode:
        result["changed"] = True
        return write_temporary(module, proposed)
    # A failed update leaves the file as it was or writes the old text back,
    # so the task counts as changed only once the update succeeded.
    run_tool(module, tool, edit + ["-f", hints_path])
    result["changed"] = True
    return hints_path


def main():
    module = AnsibleModule(argument_spec=OPTIONS, supports_check_mode=True)

    shared, problem = parse_shared(module.params["shared"])
    if problem:
        module.fail_json(msg=problem)
    if shared is None:
        given = [name for name in dict(MODIFIERS) if module.params[name]]
        if given:
            module.fail_json(msg="shared is required with %s" % ", ".join(given))
    tool = find_tool(module)

    result = dict(changed=False)
    try:
        report_path = module.params["file"]
        if shared is not None:
            report_path = apply_split(module, tool, shared, result)
        cores = report(module, tool, report_path)
        applies = boot_applies(module, tool, module.params["file"])
    except ToolFailure as failure:
        result.update(failure.details)
        module.fail_json(msg=failure.msg, **result)

    result["cores"] = cores
    result["reboot_required"] = any(core["now"] != core["next_boot"] for core in cores)
    result["boot_applies"] = applies
    module.exit_json(**result)


if __name__ == "__main__":
    main()
