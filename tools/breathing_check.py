#!/usr/bin/env python3
"""The images' breathing phase of a run against the simulator's truth.

    breathing_check.py BINS.json TRUTH.csv

BINS.json is written by cbrecon --bins-summary (view_phase: every view's phase
in cycles, from the first projection file on); TRUTH.csv by cbrecon-sim
--breath-truth (phase in cycles, level, shift per view).  Prints the share of
views whose phase lies within 0.1 cycle of the truth (circular distance), the
cycles found against the true ones (cycles between the first and the last
end-inhale of the scan), and for every bin the spread
(max - min and standard deviation) of the true shift of its views, with the
mean over the bins.
"""
import csv
import json
import signal
import sys

import numpy as np


def main():
    js = json.load(open(sys.argv[1]))
    rows = list(csv.DictReader(open(sys.argv[2])))
    true_phase = np.array([float(r["phase"]) for r in rows])
    shift = np.array([float(r["shift_mm"]) for r in rows])
    phase = np.array(js["view_phase"][: len(rows)])
    bins = np.array(js["view_bins"][: len(rows)])
    n = min(len(phase), len(true_phase))
    d = np.abs(phase[:n] - true_phase[:n]) % 1.0
    d = np.minimum(d, 1.0 - d)
    within = float(np.mean(d <= 0.1))
    true_cycles = max(0, int(np.sum(np.diff(true_phase) < -0.5)) - 1)  # between the first and last end-inhale
    found = js.get("image_signal", {}).get("cycles", -1)
    print(f"views {n}: phase within 0.1 cycle {100 * within:.1f} %, mean |error| {np.mean(d):.3f} cycle; "
          f"cycles found {found}, true {true_cycles}")
    spreads, sds = [], []
    for b in sorted(set(bins[:n].tolist()) - {0}):
        s = shift[:n][bins[:n] == b]
        spreads.append(np.ptp(s))
        sds.append(np.std(s))
        print(f"  bin {b:2d}: {len(s):4d} views, true shift {np.mean(s):6.2f} mm, range {np.ptp(s):5.2f}, sd {np.std(s):5.2f}")
    print(f"mean over bins: shift range {np.mean(spreads):.2f} mm, sd {np.mean(sds):.2f} mm")


if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # quietly, when piped into head
    main()
