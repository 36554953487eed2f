"""The cohort workflow run locally on three tiny scans, one of them broken."""

import csv
import os
import shutil
import subprocess
import sys

import pytest

import cbrecon

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "../.."))
BUILD = os.path.abspath(os.environ.get("CBRECON_BUILD", os.path.join(ROOT, "build")))
SNAKEMAKE = shutil.which("snakemake")


def snakemake(tmp, *extra):
    return subprocess.run([SNAKEMAKE, "-s", os.path.join(ROOT, "workflow/Snakefile"), "--configfile",
                           str(tmp / "config.yaml"), "--profile", os.path.join(ROOT, "workflow/profiles/local"),
                           *extra], cwd=tmp, capture_output=True, text=True, timeout=300)


def table(tmp):
    with open(tmp / "results/cohort_summary.tsv") as f:
        return {(r["scan"], r["kind"]): r for r in csv.DictReader(f, delimiter="\t")}


@pytest.mark.skipif(SNAKEMAKE is None, reason="snakemake is not installed")
def test_failures_are_reported_and_reruns_redo_only_what_is_missing(tmp_path, monkeypatch):
    # Deep folders: the jobs run on names relative to their own folder.
    for name, vxp in (("a", True), ("b", False), ("bad", False)):
        d = tmp_path / "scans" / name
        d.mkdir(parents=True)
        monkeypatch.chdir(d)
        cbrecon.simulate("PROJ_", views=100, cols=64, rows=48, scale=0.0625, threads=1,
                         vxp="r.vxp" if vxp else None)
    with open(tmp_path / "scans/bad/NormImage.hnd", "r+b") as f:
        f.truncate(100)  # the header without its CTnorm: the run is refused
    (tmp_path / "config.yaml").write_text(f"""
scans: {tmp_path}/scans
results: {tmp_path}/results
cbrecon: {BUILD}/cbrecon
python_path: {BUILD}/python
prior_image: true
preview: false
recon: {{detector_columns: 64, detector_rows: 48, pixels: 32, fov: 20.0, slice_thickness: 0.5}}
threads: 1
""")
    r = snakemake(tmp_path)
    assert r.returncode != 0, "a failed job must fail the workflow"
    t = table(tmp_path)
    assert sorted(t) == [("a", "3d"), ("a", "4d"), ("a", "4d_mkb"), ("b", "3d"), ("bad", "3d")]
    assert all(t[k]["status"] == "ok" for k in t if k[0] != "bad")
    assert t[("bad", "3d")]["status"] == "failed" and "CTnorm" in t[("bad", "3d")]["message"]
    assert t[("a", "4d")]["bins"] == "10" and t[("a", "3d")]["views"] == "100"
    first = os.path.getmtime(tmp_path / "results/b/3d/PROJ__bp4d.seq")

    # Repaired: only the failed scan and a deleted one are redone.
    shutil.copy(tmp_path / "scans/b/NormImage.hnd", tmp_path / "scans/bad/NormImage.hnd")
    shutil.rmtree(tmp_path / "results/a")
    r = snakemake(tmp_path)
    assert r.returncode == 0, r.stderr[-2000:]
    assert all(row["status"] == "ok" for row in table(tmp_path).values())
    assert os.path.getmtime(tmp_path / "results/b/3d/PROJ__bp4d.seq") == first
    assert not (tmp_path / "results/bad/3d.failed.json").exists()
    assert len(list((tmp_path / "results/a/4d").glob("*.seq"))) == 10
