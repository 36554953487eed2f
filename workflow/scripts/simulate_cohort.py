#!/usr/bin/env python3
"""Simulates a small cohort for trying the workflow: FOLDER/p1 .. FOLDER/pN, each a
breathing thorax scan (PROJ_#####.hnd, NormImage.hnd) with, for every other scan,
a respiratory file breathing.vxp.

    simulate_cohort.py FOLDER [N] [--views V] [--cols C] [--rows R]
"""
import argparse
import os

import cbrecon

ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
ap.add_argument("folder")
ap.add_argument("n", type=int, nargs="?", default=6)
ap.add_argument("--views", type=int, default=120)
ap.add_argument("--cols", type=int, default=128)
ap.add_argument("--rows", type=int, default=96)
a = ap.parse_args()
for i in range(1, a.n + 1):
    d = os.path.join(a.folder, f"p{i}")
    os.makedirs(d, exist_ok=True)
    cbrecon.simulate(os.path.join(d, "PROJ_"), views=a.views + 4 * i, cols=a.cols, rows=a.rows,
                     scale=a.cols / 1024, phantom="thorax", seed=i, noise=True,
                     vxp=os.path.join(d, "breathing.vxp") if i % 2 else None)
print(f"{a.n} scans in {a.folder}")
