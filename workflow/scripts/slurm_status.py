#!/usr/bin/env python3
"""Snakemake's cluster-status command for Slurm: prints running, success or failed
for a job id.  Asks sacct when accounting is kept, else scontrol; a job Slurm no
longer knows counts as finished (snakemake then checks its outputs)."""
import subprocess
import sys

RUNNING = {"PENDING", "CONFIGURING", "RUNNING", "COMPLETING", "RESIZING", "SUSPENDED", "REQUEUED",
           "STAGE_OUT", "SIGNALING"}


def state(job):
    try:
        r = subprocess.run(["sacct", "-n", "-X", "-P", "-j", job, "-o", "State"], capture_output=True,
                           text=True, timeout=30)
        words = r.stdout.split()
        if r.returncode == 0 and words:
            return words[0].split()[0]
    except (OSError, subprocess.TimeoutExpired):
        pass
    try:
        r = subprocess.run(["scontrol", "show", "job", job], capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return "RUNNING"  # ask again later
    for word in r.stdout.split():
        if word.startswith("JobState="):
            return word.split("=", 1)[1]
    return "COMPLETED" if "Invalid job id" in r.stderr else "RUNNING"


s = state(sys.argv[1])
print("success" if s == "COMPLETED" else "running" if s in RUNNING else "failed")
