#!/usr/bin/env python3
"""Image quality of reconstructed phase bins against their ground truth.

    quality4d.py one RECON.seq TRUTH.raw AVG.raw --npxls N --fov MM --pxlz MM [options]
    quality4d.py summary PATTERN TRUTH_PREFIX --npxls N --fov MM --pxlz MM [options]

RECON.seq is a reconstructed volume: a 1024-byte header, then nz slices of
npxls x npxls little-endian int16 words.  TRUTH.raw and AVG.raw are the
simulator's ground truths (cbrecon-sim --truth-bins PREFIX writes
PREFIX_ph<N>.raw and PREFIX_avg.raw): nz slices of npxls x npxls
little-endian float32 mu in 1/mm, the same voxel order as the .seq.  The
truth is turned into words as the program scales mu:
word = scale * 10000 * mu + offset (--scale 10, --offset 0: water reads 2000).

summary: PATTERN names the reconstruction of bin N with "{bin}" in it
(PREFIX_4d_ph{bin}.seq); without "{bin}" the one volume (a 3-D
reconstruction) is measured against every bin's truth.  One line per bin,
then the worst case over the bins.

Voxel (slice j, row r, column c) sits at x = (c - h + 1.5) dx,
y = (h - r - 0.5) dx, z = (j - nz/2 + 0.5) pxlz with h = npxls // 2 and
dx = fov / npxls.  Definitions (all values in output words):

  fov mask    the program's field of view (it writes -2000 outside): voxel
              (r, c) with a = (r - h + 0.5) dx and b = (c - h + 0.5) dx,
              each rounded to float32, inside when sqrt(a^2 + b^2) <= fov/2.
  body        fov voxels whose truth mu exceeds 0.002/mm (a tenth of water):
              every tissue and the lungs, not the air around the body.
  SSIM        per axial slice, the SSIM index of Wang et al. (2004): Gaussian
              window sigma 1.5 voxels truncated at 5 voxels (reflected at the
              slice edges), K1 = 0.01, K2 = 0.03, data range L = max - min of
              the truth's words within the fov over the whole volume;
              reconstruction voxels outside the fov are replaced by the
              truth's there.  The map is averaged over the slice's fov
              voxels and the slices averaged over those with a body voxel.
  SSIM body   the same map averaged over the body voxels of those slices
              (leaves out the air around the body, which a larger fov adds).
  RMSE body   root mean square of reconstruction - truth over the body.
  RMSE motion the same over the motion region: fov voxels where the bin's
              truth differs from the time average by more than 1e-5/mm,
              dilated by 2 voxels along each axis (a 5 x 5 x 5 cube).
  tumour z    intensity-weighted z centroid (mm) within the tumour box
              (--tumour-box, by default the thorax phantom's tumour path
              for --phantom-scale and --motion with a 5 mm margin, inside the
              left lung at full size for motions up to 15 mm): weights word - lung over the voxels whose
              word exceeds (lung + water) / 2, lung and water the words of
              mu 0.005 and 0.02.  The same for the reconstruction and the
              truth; "nan" when no voxel passes.
"""

import argparse
import math
import os
import sys

import numpy as np

HEADER = 1024
WATER, LUNG = 0.02, 0.005
# The thorax phantom's tumour: radius 12 mm at x = 50, y = 12, z = -10,
# moving 0 .. motion mm towards +z.
TUMOUR_CENTRE, TUMOUR_RADIUS, BOX_MARGIN = (50.0, 12.0, -10.0), 12.0, 5.0


def tumour_box(scale, motion):
    """The tumour's path in a phantom scaled by `scale` (the motion is not
    scaled), with BOX_MARGIN mm around it: X0 X1 Y0 Y1 Z0 Z1."""
    (x, y, z), r, m = [scale * c for c in TUMOUR_CENTRE], scale * TUMOUR_RADIUS, BOX_MARGIN
    return (x - r - m, x + r + m, y - r - m, y + r + m, z - r - m, z + r + max(motion, 0.0) + m)


def fail(msg):
    sys.exit("quality4d.py: " + msg)


def read_seq(path, npxls):
    size = os.path.getsize(path)
    plane = npxls * npxls * 2
    if size < HEADER or (size - HEADER) % plane:
        fail("%s: %d bytes is not a 1024-byte header and whole %d x %d int16 slices"
             % (path, size, npxls, npxls))
    data = np.fromfile(path, dtype="<i2", offset=HEADER)
    return data.reshape(-1, npxls, npxls).astype(np.float64)


def read_raw(path, npxls):
    size = os.path.getsize(path)
    plane = npxls * npxls * 4
    if size % plane:
        fail("%s: %d bytes is not whole %d x %d float32 slices" % (path, size, npxls, npxls))
    return np.fromfile(path, dtype="<f4").reshape(-1, npxls, npxls).astype(np.float64)


class Grid:
    def __init__(self, npxls, fov, pxlz, nz):
        self.npxls, self.fov, self.pxlz, self.nz = npxls, fov, pxlz, nz
        dx = float(np.float32(fov) / np.float32(npxls))  # the program keeps dx as a float
        h = npxls // 2
        idx = np.arange(npxls, dtype=np.float64)
        self.x = (idx - h + 1.5) * dx          # by column
        self.y = (h - idx - 0.5) * dx          # by row
        self.z = (np.arange(nz, dtype=np.float64) - nz // 2 + 0.5) * pxlz
        # The program's field of view: row and column offsets from the
        # grid's centre, (i - h + 0.5) dx rounded to float, within fov / 2.
        off = ((idx - h + 0.5) * dx).astype(np.float32).astype(np.float64)
        self.fov_mask = np.sqrt(off[:, None] ** 2 + off[None, :] ** 2) <= np.float32(fov) / 2.0


def gaussian_blur(vol, sigma=1.5, radius=5):
    """Separable Gaussian over the last two axes, edges reflected."""
    k = np.exp(-0.5 * (np.arange(-radius, radius + 1) / sigma) ** 2)
    k /= k.sum()
    out = vol
    for axis in (1, 2):
        pad = [(0, 0)] * 3
        pad[axis] = (radius, radius)
        p = np.pad(out, pad, mode="symmetric")
        n = out.shape[axis]
        acc = np.zeros_like(out)
        for i, w in enumerate(k):
            acc += w * np.take(p, np.arange(i, i + n), axis=axis)
        out = acc
    return out


def ssim_map(rec, tru, data_range):
    """The SSIM index of every voxel, slice by slice."""
    c1, c2 = (0.01 * data_range) ** 2, (0.03 * data_range) ** 2
    mx, my = gaussian_blur(rec), gaussian_blur(tru)
    sxx = gaussian_blur(rec * rec) - mx * mx
    syy = gaussian_blur(tru * tru) - my * my
    sxy = gaussian_blur(rec * tru) - mx * my
    return ((2 * mx * my + c1) * (2 * sxy + c2)) / ((mx * mx + my * my + c1) * (sxx + syy + c2))


def dilate(mask, steps=2):
    """Cube dilation: a voxel is set when any voxel within `steps` along
    every axis is."""
    out = mask.copy()
    for axis in range(3):
        grown = out.copy()
        n = out.shape[axis]
        for d in range(1, steps + 1):
            if d >= n:
                break
            lo = [slice(None)] * 3
            hi = [slice(None)] * 3
            lo[axis], hi[axis] = slice(0, n - d), slice(d, n)
            grown[tuple(lo)] |= out[tuple(hi)]
            grown[tuple(hi)] |= out[tuple(lo)]
        out = grown
    return out


def centroid_z(words, grid, box, lung_w, water_w):
    x0, x1, y0, y1, z0, z1 = box
    cs = (grid.x >= x0) & (grid.x <= x1)
    rs = (grid.y >= y0) & (grid.y <= y1)
    js = (grid.z >= z0) & (grid.z <= z1)
    sub = words[np.ix_(js, rs, cs)]
    w = np.where(sub > (lung_w + water_w) / 2.0, sub - lung_w, 0.0)
    total = w.sum()
    if total <= 0:
        return math.nan
    return float((w.sum(axis=(1, 2)) * grid.z[js]).sum() / total)


def measure(rec_words, truth_mu, avg_mu, grid, scale, offset, box):
    """Returns a dict of the metrics of one reconstruction against one truth."""
    if rec_words.shape != truth_mu.shape or truth_mu.shape != avg_mu.shape:
        fail("volumes of different sizes: reconstruction %s, truth %s, average %s"
             % (rec_words.shape, truth_mu.shape, avg_mu.shape))
    word = lambda mu: scale * 10000.0 * mu + offset
    tru = word(truth_mu)
    fov3 = np.broadcast_to(grid.fov_mask, tru.shape)
    rec = np.where(fov3, rec_words, tru)
    body = fov3 & (truth_mu > 0.1 * WATER)
    inside = tru[fov3]
    data_range = float(inside.max() - inside.min()) if inside.size else 0.0
    slices = body.any(axis=(1, 2))
    if not slices.any() or data_range <= 0:
        fail("the truth holds no body within the field of view")
    smap = ssim_map(rec[slices], tru[slices], data_range)
    ssim = float(smap[:, grid.fov_mask].mean(axis=1).mean())
    ssim_body = float(smap[body[slices]].mean())
    err = rec - tru
    rmse_body = float(np.sqrt(np.mean(err[body] ** 2)))
    motion = dilate(np.abs(truth_mu - avg_mu) > 1e-5) & fov3
    rmse_motion = float(np.sqrt(np.mean(err[motion] ** 2))) if motion.any() else math.nan
    lung_w, water_w = word(LUNG), word(WATER)
    return {
        "ssim": ssim,
        "ssim_body": ssim_body,
        "rmse_body": rmse_body,
        "rmse_motion": rmse_motion,
        "motion_voxels": int(motion.sum()),
        "z_recon": centroid_z(rec_words, grid, box, lung_w, water_w),
        "z_truth": centroid_z(tru, grid, box, lung_w, water_w),
    }


def fmt(m):
    return ("ssim=%.4f rmse_body=%.1f rmse_motion=%.1f motion_voxels=%d z_recon=%.2f z_truth=%.2f dz=%.2f"
            " ssim_body=%.4f"
            % (m["ssim"], m["rmse_body"], m["rmse_motion"], m["motion_voxels"], m["z_recon"],
               m["z_truth"], m["z_recon"] - m["z_truth"], m["ssim_body"]))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("mode", choices=["one", "summary"])
    ap.add_argument("files", nargs="+")
    ap.add_argument("--npxls", type=int, required=True)
    ap.add_argument("--fov", type=float, required=True, help="field of view of the reconstruction, mm")
    ap.add_argument("--pxlz", type=float, required=True, help="slice thickness, mm")
    ap.add_argument("--scale", type=float, default=10.0, help="scale_cal (10)")
    ap.add_argument("--offset", type=float, default=0.0, help="offset_cal (0)")
    ap.add_argument("--tumour-box", type=float, nargs=6, default=None,
                    metavar=("X0", "X1", "Y0", "Y1", "Z0", "Z1"),
                    help="mm; default the thorax tumour's path (--phantom-scale, --motion)")
    ap.add_argument("--phantom-scale", type=float, default=1.0, help="the simulator's --scale (1)")
    ap.add_argument("--motion", type=float, default=None,
                    help="the simulator's --motion, mm (15 times --phantom-scale, its default)")
    a = ap.parse_args(argv)
    motion = a.motion if a.motion is not None else 15.0 * a.phantom_scale
    box = a.tumour_box or tumour_box(a.phantom_scale, motion)

    def load_truth(path):
        return read_raw(path, a.npxls)

    if a.mode == "one":
        if len(a.files) != 3:
            fail("one: RECON.seq TRUTH.raw AVG.raw")
        rec = read_seq(a.files[0], a.npxls)
        grid = Grid(a.npxls, a.fov, a.pxlz, rec.shape[0])
        print(fmt(measure(rec, load_truth(a.files[1]), load_truth(a.files[2]), grid, a.scale,
                          a.offset, box)))
        return 0

    if len(a.files) != 2:
        fail("summary: PATTERN TRUTH_PREFIX")
    pattern, prefix = a.files
    avg = load_truth(prefix + "_avg.raw")
    grid = Grid(a.npxls, a.fov, a.pxlz, avg.shape[0])
    fixed = None if "{bin}" in pattern else read_seq(pattern, a.npxls)
    rows = []
    print("%-5s %8s %10s %12s %9s %9s %7s %10s" % ("bin", "ssim", "rmse_body", "rmse_motion",
                                                    "z_recon", "z_truth", "dz", "ssim_body"))
    for b in range(1, 11):
        rec = fixed if fixed is not None else read_seq(pattern.replace("{bin}", str(b)), a.npxls)
        m = measure(rec, load_truth("%s_ph%d.raw" % (prefix, b)), avg, grid, a.scale, a.offset, box)
        rows.append(m)
        print("%-5d %8.4f %10.1f %12.1f %9.2f %9.2f %7.2f %10.4f" % (
            b, m["ssim"], m["rmse_body"], m["rmse_motion"], m["z_recon"], m["z_truth"],
            m["z_recon"] - m["z_truth"], m["ssim_body"]))
    dz = [abs(m["z_recon"] - m["z_truth"]) for m in rows]
    print("%-5s %8.4f %10.1f %12.1f %9s %9s %7.2f %10.4f" % (
        "worst", min(m["ssim"] for m in rows), max(m["rmse_body"] for m in rows),
        max(m["rmse_motion"] for m in rows), "", "", max(dz), min(m["ssim_body"] for m in rows)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
