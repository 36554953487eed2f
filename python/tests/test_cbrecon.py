"""The Python module against the command-line program on small simulated scans."""

import os
import shutil
import subprocess
import threading
import time
import warnings

import numpy as np
import pytest

import cbrecon

BUILD = os.environ.get("CBRECON_BUILD", os.path.join(os.path.dirname(__file__), "../../build"))
CLI = os.path.join(BUILD, "cbrecon")
# A 64 x 48 detector reconstructed to 32 x 32 x 16 voxels.
SMALL = dict(detector_columns=64, detector_rows=48, pixels=32, fov=20.0, slice_thickness=0.5, threads=2)


def cli(scan, *extra, respiratory="0"):
    args = [CLI, scan["prefix"], scan["mask"], respiratory, "-d", "64", "-z", "48", "-p", "32",
            "-fov", "20", "-pz", "0.5", "--threads", "2", "--conventional-status", *extra]
    r = subprocess.run(args, cwd=scan["dir"], capture_output=True, text=True, timeout=120)
    return r


def seq_words(name):
    with open(name, "rb") as f:
        data = f.read()
    return data[:1024], np.frombuffer(data[1024:], dtype="<i2").reshape(-1, 32, 32)


def make_scan(folder, respiratory):
    os.makedirs(folder)
    opts = dict(views=120, cols=64, rows=48, scale=0.0625, phantom="shepp", threads=1)
    if respiratory:
        opts["vxp"] = os.path.join(folder, "resp.vxp")
    r = cbrecon.simulate(os.path.join(folder, "P_"), **opts)
    return dict(dir=folder, prefix=os.path.join(folder, "P_"), mask=r["mask"], vxp=r["respiratory"],
                views=r["views"])


@pytest.fixture(scope="module")
def scan(tmp_path_factory):
    return make_scan(str(tmp_path_factory.mktemp("scan") / "s"), True)


def test_3d_volume_equals_the_command_line_files(scan, tmp_path):
    """The words equal the .seq file word for word; the float volume equals what --float
    writes, bit for bit; the grid is the one the MetaImage header states."""
    r = cli(scan, "--format", "mha", "--float")
    assert r.returncode == 0, r.stderr
    head, words = seq_words(scan["prefix"] + "_bp4d.seq")
    with open(scan["prefix"] + "_bp4d.mha", "rb") as f:
        mha = f.read()
    for name in ("_bp4d.seq", "_bp4d.mha"):
        os.remove(scan["prefix"] + name)

    res = cbrecon.reconstruct(scan["prefix"], scan["mask"], **SMALL)
    volume, grid = res
    assert volume.dtype == np.float32 and volume.shape == (16, 32, 32)
    assert np.array_equal(res.words(), words)
    assert res.header() == head
    text, data = mha.split(b"ElementDataFile = LOCAL\n")
    assert np.array_equal(np.frombuffer(data, dtype=np.float32).reshape(volume.shape), volume)
    # Output units: 10 x voxel, -2000 outside the field of view, truncating to the words.
    outside = words == -2000
    assert np.all(volume[outside] == -2000)
    assert np.all(np.abs(np.trunc(volume[~outside]) - words[~outside]) <= 1)
    fields = dict(line.split(" = ", 1) for line in text.decode().splitlines())
    assert [float(v) for v in fields["Offset"].split()] == pytest.approx(grid["origin"], abs=1e-4)
    assert [float(v) for v in fields["ElementSpacing"].split()] == pytest.approx(
        grid["spacing"][::-1], abs=1e-6)
    assert [float(v) for v in fields["TransformMatrix"].split()] == [c for a in grid["axes"] for c in a]
    assert grid["shape"] == volume.shape and grid["position"] == "HFS"
    assert not os.path.exists(scan["prefix"] + "_bp4d.seq"), "an in-memory run wrote its volume"


def test_bins_and_prior_image_equal_the_command_line(scan):
    """--all-phases plain, prior-image and iterative: one array per bin, each equal to its .seq file."""
    for extra, kw, suffix in (((), {}, ""), (("--mkb",), {"prior_image": True}, "_mkb"),
                              (("--iterative", "--iterations", "2"), {"iterative": True, "iterations": 2}, "_iter")):
        r = cli(scan, "--all-phases", *extra, respiratory=scan["vxp"])
        assert r.returncode == 0, r.stderr
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", cbrecon.CbreconWarning)  # bins of two or three views
            res = cbrecon.reconstruct(scan["prefix"], scan["mask"], scan["vxp"], all_phases=True, **kw,
                                      **SMALL)
        assert sorted(res.volumes) == list(range(1, 11))
        assert isinstance(res.volume, dict)
        for b in range(1, 11):
            name = f"{scan['prefix']}_4d_ph{b}{suffix}.seq"
            head, words = seq_words(name)
            os.remove(name)
            assert np.array_equal(res.words(b), words), f"bin {b}"
            assert res.header(b) == head
        assert all(i["prior_image"] == kw.get("prior_image", False) for i in res.info)
        assert all(i["iterative"] == kw.get("iterative", False) for i in res.info)


def test_write_gives_the_command_line_files(scan):
    """write() through the output plan: the same bytes as the command line's files."""
    r = cli(scan, "--format", "nrrd", "--format", "nii", "--preview", "look.png", "-ext", "x.seq")
    assert r.returncode == 0, r.stderr
    names = [scan["prefix"] + "_x.seq", scan["prefix"] + "_x.nrrd", scan["prefix"] + "_x.nii",
             os.path.join(scan["dir"], "look.png")]
    expected = {}
    for n in names:
        with open(n, "rb") as f:
            expected[n] = f.read()
        os.remove(n)
    res = cbrecon.reconstruct(scan["prefix"], scan["mask"], suffix="x.seq", **SMALL)
    assert res.write(["nrrd", "nii"], preview=os.path.join(scan["dir"], "look.png")) == []
    for n in names:
        with open(n, "rb") as f:
            assert f.read() == expected[n], n
        os.remove(n)


def test_refusals_raise_the_program_message(scan, tmp_path):
    cases = [
        (dict(prefix=str(tmp_path / "none_")), []),          # no view to use
        (dict(pixels=0), ["-p", "0"]),                       # refused geometry
        (dict(phase=3), ["-ph", "3"]),                       # -ph in a 3-D run
        (dict(write=True, formats=["dcm"]), ["--format", "dcm"]),  # dcm without --hu-water
    ]
    for kw, extra in cases:
        prefix = kw.pop("prefix", scan["prefix"])
        opts = dict(SMALL, **kw)
        with pytest.raises(cbrecon.Error) as e:
            cbrecon.reconstruct(prefix, scan["mask"], **opts)
        r = subprocess.run([CLI, prefix, scan["mask"], "0", "-d", "64", "-z", "48", "-p", "32",
                            "-fov", "20", "-pz", "0.5", *extra], capture_output=True, text=True)
        assert r.returncode == 2
        assert "cbrecon: " + str(e.value) == r.stderr.strip().splitlines()[-1], kw
    with pytest.raises(TypeError):
        cbrecon.reconstruct(scan["prefix"], scan["mask"], slices=3)
    with pytest.raises(cbrecon.Error, match="Can not open file"):
        cbrecon.read_respiratory(str(tmp_path / "missing.vxp"))
    with pytest.raises(cbrecon.Error):
        cbrecon.read_projection(str(tmp_path))
    with pytest.warns(cbrecon.CbreconWarning, match="-xb"):
        cbrecon.reconstruct(scan["prefix"], scan["mask"], x_binning=2, **SMALL)


def test_threads_positions_and_gil(scan):
    """Same bits for 1 and 2 threads; a turned patient turns the axes only; other Python
    threads run while the volume is reconstructed."""
    one = cbrecon.reconstruct(scan["prefix"], scan["mask"], **dict(SMALL, threads=1))
    two = cbrecon.reconstruct(scan["prefix"], scan["mask"], **SMALL)
    assert np.array_equal(one.volume.view(np.uint32), two.volume.view(np.uint32))
    hfp = cbrecon.reconstruct(scan["prefix"], scan["mask"], patient_position="HFP", **SMALL)
    assert np.array_equal(hfp.volume, two.volume)
    assert hfp.grid["axes"] == ((-1, 0, 0), (0, -1, 0), (0, 0, -1))
    assert hfp.grid["origin"][:2] == tuple(-c for c in two.grid["origin"][:2])

    big = dict(SMALL, pixels=128, threads=1)
    done = threading.Event()
    gaps = []

    def ticker():
        last = time.perf_counter()
        while not done.is_set():
            time.sleep(0.001)
            now = time.perf_counter()
            gaps.append(now - last)
            last = now

    t = threading.Thread(target=ticker)
    t.start()
    try:
        res = cbrecon.reconstruct(scan["prefix"], scan["mask"], **big)
    finally:
        done.set()
        t.join()
    # Holding the GIL would stop the ticker for the whole reconstruction.
    assert res.seconds > 0.05
    assert max(gaps) < 0.8 * res.seconds, (max(gaps), res.seconds)


def test_readers_simulator_and_memory_estimate(scan):
    head, pixels = cbrecon.read_projection(scan["views"][5])
    assert (head["columns"], head["rows"]) == (64, 48) and pixels.shape == (48, 64)
    assert pixels.dtype == np.uint32 and pixels.max() > 0
    assert head["pixels_decoded"] == 48 * 64 and not head["truncated"]
    assert len(head["raw"]) == 1024
    assert head["angle"] == pytest.approx(5 * 360 / len(scan["views"]), abs=1e-6)
    # A cut-off file decodes what it holds, says so, and needs the size given.
    cut = scan["views"][5] + ".cut"
    with open(scan["views"][5], "rb") as f:
        data = f.read()
    with open(cut, "wb") as f:
        f.write(data[:1024 + 16])
    h2, p2 = cbrecon.read_projection(cut, rows=48, columns=64)
    assert h2["truncated"] and h2["columns"] is None and p2.shape == (48, 64)
    with pytest.raises(cbrecon.Error, match="states no image size"):
        cbrecon.read_projection(cut)
    os.remove(cut)

    rpm = cbrecon.read_respiratory(scan["vxp"])
    n = len(rpm["time"])
    assert n > 0 and all(len(rpm[k]) == n for k in ("phase", "amplitude", "bin"))
    assert rpm["bin"].min() >= 1 and rpm["bin"].max() <= 10
    assert np.all(np.diff(rpm["time"]) > 0)

    small = cbrecon.estimate_memory(scan["prefix"], scan["mask"], **SMALL)
    large = cbrecon.estimate_memory(scan["prefix"], scan["mask"], **dict(SMALL, pixels=64))
    bins = cbrecon.estimate_memory(scan["prefix"], scan["mask"], scan["vxp"], all_phases=True, **SMALL)
    assert small > 4 * 16 * 32 * 32 and large > small + 4 * 16 * (64 * 64 - 32 * 32) - 1
    assert bins > small + 9 * 4 * 16 * 32 * 32 - 1

    with pytest.raises(cbrecon.Error, match="--views"):
        cbrecon.simulate(os.path.join(scan["dir"], "Q_"), views=0)
