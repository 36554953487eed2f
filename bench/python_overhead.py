#!/usr/bin/env python3
"""What the Python binding adds to a reconstruction.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_overhead.py [ROUNDS]

Alternates the command line on the demo scan (`build/cbrecon`, its defaults)
with the same reconstruction through `cbrecon.reconstruct`, ROUNDS times
(default 7), from the project's root.  Per round: both wall times, and the
binding's own time: its wall time less the reconstruction's (argument
handling, the run's set-up and the volume's conversion to numpy).
"""
import statistics
import subprocess
import sys
import time

import cbrecon

rows = []
for _ in range(int(sys.argv[1]) if len(sys.argv) > 1 else 7):
    t0 = time.perf_counter()
    subprocess.run(["build/cbrecon"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    cli = time.perf_counter() - t0
    t0 = time.perf_counter()
    r = cbrecon.reconstruct("demo-data/PROJ_", "demo-data/NormImage.hnd", fov=240, counter_clockwise=True)
    wall = time.perf_counter() - t0
    own = wall - r.seconds
    rows.append((cli, wall, own))
    print("command line %.2f s  binding %.2f s, of which its own %.3f s (%.2f %%)" % (cli, wall, own, 100 * own / wall),
          flush=True)
share = [100 * own / wall for _, wall, own in rows]
print("binding's own share of its wall time: median %.2f %% (%.2f-%.2f); median wall: command line %.2f s, binding %.2f s"
      % (statistics.median(share), min(share), max(share), statistics.median(r[0] for r in rows),
         statistics.median(r[1] for r in rows)))
