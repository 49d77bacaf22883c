#!/usr/bin/env python3
"""Runs a command and prints the CPU time of every process of its tree, each on its own line:
the command itself and any process it leaves behind (the -Debug supervisor outlives the tool for
a moment and is reaped here, as this script is a child subreaper). The command's output passes
through; the figures go to standard error.

  scripts/cpu-per-process.py build/bin/XevEncodeTest -Debug > /dev/null"""

import ctypes, os, sys

PR_SET_CHILD_SUBREAPER = 36
ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
command = os.fork()
if command == 0:
    os.execvp(sys.argv[1], sys.argv[1:])
while True:
    try:
        pid, status, usage = os.wait4(-1, 0)
    except ChildProcessError:
        break
    who = "command" if pid == command else "descendant"
    print(f"{who} {pid}: user {usage.ru_utime:.3f} s, system {usage.ru_stime:.3f} s, "
          f"total {usage.ru_utime + usage.ru_stime:.3f} s, wait status {status}", file=sys.stderr)
