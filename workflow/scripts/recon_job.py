#!/usr/bin/env python3
"""One reconstruction job of the cohort workflow.

    recon_job.py SCAN_DIR WORK_DIR PREFIX SUMMARY.json -- CBRECON ARGS...

Links the scan's files (projections PREFIX#####.hnd, mask, respiratory file)
into WORK_DIR and runs the command line given after "--" there, on names
relative to it, with conventional exit statuses: the program writes its
volumes beside the projections (it names them after the prefix) and a 4-D
run its trigger trace in the working folder, and every name stays well under
the program's 79 characters however deep the folders are.  Then removes the
links and writes SUMMARY.json: views, volumes written, wall time, peak
memory, status.
A failed run writes <WORK_DIR>.failed.json instead (outside the job's
outputs, which the workflow engine removes) and ends with the program's
status; the program's stdout and stderr are kept in WORK_DIR/cbrecon.log and
cbrecon.err.
"""
import json
import os
import re
import sys
import time


def main(argv):
    sep = argv.index("--")
    scan_dir, work, prefix, summary = argv[1:sep]
    command = argv[sep + 1:]
    os.makedirs(work, exist_ok=True)
    failed = work.rstrip("/") + ".failed.json"
    projection = re.compile(re.escape(prefix) + r"\d{5,}\.hnd$")
    links, views = [], 0
    for name in sorted(os.listdir(scan_dir)):
        source = os.path.join(scan_dir, name)
        if os.path.isfile(source):
            link = os.path.join(work, name)
            if os.path.lexists(link):
                os.remove(link)
            os.symlink(os.path.abspath(source), link)
            links.append(link)
            views += bool(projection.match(name))
    env = dict(os.environ, CBRECON_CONVENTIONAL_STATUS="1")
    # Spawned without a fork of this interpreter, so that the child's peak
    # memory is the program's (a forked Python would count its own pages).
    log, err = os.path.join(work, "cbrecon.log"), os.path.join(work, "cbrecon.err")
    flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC
    t0 = time.monotonic()
    pid = os.posix_spawn("/bin/sh", ["sh", "-c", 'cd "$0" && exec "$@"', work] + command, env,
                         file_actions=[(os.POSIX_SPAWN_OPEN, 1, log, flags, 0o644),
                                       (os.POSIX_SPAWN_OPEN, 2, err, flags, 0o644)])
    _, status, usage = os.wait4(pid, 0)
    wall = time.monotonic() - t0
    returncode = os.waitstatus_to_exitcode(status)
    with open(err) as f:
        stderr = f.read()
    for link in links:
        os.remove(link)
    volumes = sorted(n for n in os.listdir(work) if n.endswith(".seq"))
    lines = [line for line in stderr.splitlines() if line.strip()]
    info = {
        "scan": os.path.basename(os.path.normpath(scan_dir)),
        "kind": os.path.basename(os.path.normpath(work)),
        "views": views,
        "bins": len(volumes),
        "wall_s": round(wall, 3),
        "peak_mib": round(usage.ru_maxrss / 1024, 1),
        "status": "ok" if returncode == 0 else "failed",
        "exit": returncode,
        "message": "; ".join(lines[-3:]) if returncode else "",
        "command": command,
    }
    with open(summary if returncode == 0 else failed, "w") as f:
        json.dump(info, f, indent=1)
    if returncode == 0 and os.path.exists(failed):
        os.remove(failed)
    return returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv))
