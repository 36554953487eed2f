"""Cone-beam CT reconstruction (FDK) from Python.

The module runs the cbrecon program's own reconstruction in this process and
hands the volumes over as numpy arrays::

    import cbrecon
    result = cbrecon.reconstruct("scan/PROJ_", "scan/NormImage.hnd",
                                 detector_columns=512, detector_rows=384,
                                 views=180, fov=250)
    volume, grid = result            # float32 [z][y][x], and its grid
    result.write(formats=["nrrd"])   # the files the command line writes

Every keyword of reconstruct() is one option of the command line; the
arguments are handed to the program's own parser, so refusals and defaults
are the program's.  Errors raise cbrecon.Error with the program's one-line
message; the program's warnings become CbreconWarning.

Values ("output units"): scale x voxel + offset (-sc, -so; 10 x voxel by
default) in float32, -2000 outside the circular field of view: what the
standard formats hold with --float.  Reconstruction.words() gives the
.seq file's 16-bit words instead (the truncated values).
"""

import os
import warnings

import numpy as np

from ._cbrecon import Error, Run
from ._cbrecon import read_projection as _read_projection
from ._cbrecon import read_respiratory as _read_respiratory
from ._cbrecon import simulate as _simulate

__all__ = ["Error", "CbreconWarning", "Reconstruction", "reconstruct", "estimate_memory",
           "read_projection", "read_respiratory", "simulate", "command_line"]


class CbreconWarning(UserWarning):
    """A warning of the program: a legal run that is probably not what was meant."""


# keyword -> (classic option, its default).  A value equal to the default is
# not passed, so the line is what a user would type.
_CLASSIC = {
    "detector_columns": ("-d", 1024),
    "detector_rows": ("-z", 768),
    "pixels": ("-p", 512),
    "fov": ("-fov", 500.0),
    "slice_thickness": ("-pz", 2.5),
    "views": ("-s", 1000),
    "first_view": ("-st", 0),
    "detector_offset": ("-xoff", 0.0),
    "scale": ("-sc", 10.0),
    "offset": ("-so", 0.0),
    "suffix": ("-ext", None),
    "x_binning": ("-xb", None),
    "y_binning": ("-yb", None),
    "width": ("-w", None),
}
_CLASSIC_FLAGS = {"half_scan": "-hscan", "counter_clockwise": "-ccw"}
# keyword -> long option with a value (None: not given).
_LONG = {
    "threads": "--threads",
    "isa": "--isa",
    "prior_cutoff": "--mkb-cutoff",
    "prior_step": "--mkb-step",
    "iterations": "--iterations",
    "subsets": "--subsets",
    "tv_weight": "--tv-weight",
    "iter_binning": "--iter-binning",
    "patient_position": "--patient-position",
    "patient_id": "--patient-id",
    "patient_name": "--patient-name",
}
_LONG_FLAGS = {"all_phases": "--all-phases", "prior_image": "--mkb", "iterative": "--iterative"}
# Keywords of the files written (write() and reconstruct(write=True)).
_OUTPUT_LONG = {"preview": "--preview", "hu_water": "--hu-water"}


def _number(v):
    if isinstance(v, bool):
        raise TypeError("a number is needed, not a bool")
    return repr(v) if isinstance(v, float) else str(v)


def _output_args(formats=(), float_output=False, preview=None, window=None, hu_water=None):
    args = []
    if isinstance(formats, str):
        formats = [formats]
    for f in formats:
        args += ["--format", str(f)]
    if float_output:
        args.append("--float")
    if preview is not None:
        args += ["--preview", os.fspath(preview)]
    if window is not None:
        lo, hi = window
        args += ["--window", f"{_number(float(lo))},{_number(float(hi))}"]
    if hu_water is not None:
        args += ["--hu-water", _number(float(hu_water))]
    return args


def command_line(prefix, mask, respiratory=None, *, phase=None, **options):
    """The cbrecon command line (a list of words) that the keywords stand for.

    Takes the arguments of reconstruct() that describe the run, plus the
    output keywords of Reconstruction.write(); useful to log a run or to
    hand it to the command-line program.
    """
    args = ["cbrecon", os.fspath(prefix), os.fspath(mask),
            "0" if respiratory is None else os.fspath(respiratory)]
    out = {k: options.pop(k) for k in ("formats", "float_output", "preview", "window", "hu_water")
           if k in options}
    for key, value in options.items():
        if key in _CLASSIC:
            opt, default = _CLASSIC[key]
            if value is None or (default is not None and value == default):
                continue
            args += [opt, value if key == "suffix" else _number(value)]
        elif key in _CLASSIC_FLAGS:
            if value:
                args.append(_CLASSIC_FLAGS[key])
        elif key in _LONG:
            if value is not None and not (key == "threads" and value == 0):
                args += [_LONG[key], value if isinstance(value, str) else _number(value)]
        elif key in _LONG_FLAGS:
            if value:
                args.append(_LONG_FLAGS[key])
        else:
            raise TypeError(f"unknown keyword argument {key!r}")
    if phase is not None:
        args += ["-ph", _number(phase)]
    args += _output_args(**out)
    return args


class Reconstruction:
    """The volumes of one reconstruction and their grid.

    Attributes:
      volumes  dict: phase bin (0 for a 3-D run) -> float32 array [z][y][x]
               in output units (module docstring), in the order reconstructed
      volume   the one array of a run of one volume, else the dict `volumes`
      grid     dict: shape (nz, ny, nx); spacing (dz, dy, dx) in mm; origin:
               the centre of voxel [0, 0, 0] in the patient's LPS frame (mm);
               axes: the LPS directions of the column (x), row (y) and slice
               (z) index axes; position (HFS, HFP, FFS, FFP); frame "LPS".
               Voxel [k, j, i] lies at origin + i dx axes[0] + j dy axes[1]
               + k dz axes[2].
      info     per volume planned: suffix, bin, prior_image, iterative, views_used,
               views_listed (a volume without views used is not in `volumes`)
      lines    the program's console lines (kept when not verbose)
      seconds  wall time of the reconstruction
    Unpacks as (volume, grid).
    """

    def __init__(self, run, args, seconds):
        self._run = run
        self._args = args
        self.seconds = seconds
        self.info = [run.volume_info(i) for i in range(run.count())]
        for i in self.info:
            del i["header"]
        # A volume none of whose views could be used is left out, as the
        # command line leaves out its file.
        self.volumes = {}
        for i, info in enumerate(self.info):
            if info["views_used"]:
                self.volumes[info["bin"]] = run.array(i, True)
            else:
                warnings.warn(f"phase bin {info['bin']}: no view could be used ({info['views_listed']} "
                              "listed); it has no volume", CbreconWarning, stacklevel=3)
        self.grid = run.grid()
        self.lines = run.lines()

    @property
    def volume(self):
        if len(self.volumes) == 1:
            return next(iter(self.volumes.values()))
        return self.volumes

    def __iter__(self):
        return iter((self.volume, self.grid))

    def words(self, bin=None):
        """The .seq file's 16-bit words (int16 [z][y][x]) of one volume (bin
        None: the first), -2000 outside the field of view."""
        bins = [i["bin"] for i in self.info]
        index = 0 if bin is None else bins.index(bin)
        return self._run.array(index, False)

    def header(self, bin=None):
        """The 1024-byte header the volume's .seq file starts with."""
        bins = [i["bin"] for i in self.info]
        return self._run.volume_info(0 if bin is None else bins.index(bin))["header"]

    def write(self, formats=(), *, float_output=False, preview=None, window=None, hu_water=None,
              suffix=None, strict=True):
        """Writes every volume as the command line would: the .seq file beside the
        projections (PREFIX_bp4d.seq, PREFIX_4d_phN.seq, ...), then each format of
        `formats` ("mha", "nrrd", "nii", "nii.gz", "dcm"; dcm needs hu_water), the
        preview PNG and its window (low, high).  float_output: the standard formats
        hold output values instead of the words.  suffix: the -ext of a 3-D run.
        Returns the list of names written.  A file that cannot be written does not
        stop the others; with strict (default) the reasons then raise Error."""
        args = list(self._args)
        if suffix is not None:
            args += ["-ext", suffix]
        args += _output_args(formats, float_output, preview, window, hu_water)
        failures = self._run.write(args)
        if failures and strict:
            raise Error("; ".join(failures))
        return failures


def _run(args, verbose, progress):
    return Run(args, bool(verbose), bool(verbose or progress))


def _warn(run):
    for line in run.messages().splitlines():
        if line.strip():
            warnings.warn(line.removeprefix("cbrecon: "), CbreconWarning, stacklevel=3)


def reconstruct(prefix, mask, respiratory=None, *, detector_columns=1024, detector_rows=768,
                pixels=512, fov=500.0, slice_thickness=2.5, views=1000, first_view=0,
                detector_offset=0.0, half_scan=False, counter_clockwise=False, phase=None,
                scale=10.0, offset=0.0, suffix=None, all_phases=False, prior_image=False,
                prior_cutoff=None, prior_step=None, iterative=False, iterations=None, subsets=None,
                tv_weight=None, iter_binning=None, patient_position=None, patient_id=None,
                patient_name=None, threads=0, isa=None, x_binning=None, y_binning=None, width=None,
                write=False, formats=(), float_output=False, preview=None, window=None,
                hu_water=None, verbose=False, progress=False):
    """Reconstructs one scan and returns a Reconstruction (unpacks as volume, grid).

    prefix, mask, respiratory: the projection files' prefix (PREFIX00000.hnd, ...), the
    open-field mask file and, for a 4-D run, the respiratory-signal file (None: 3-D).

    Keywords and the command-line options they stand for:
      detector_columns -d, detector_rows -z, pixels -p, fov -fov (mm),
      slice_thickness -pz (mm), views -s (most files listed), first_view -st,
      detector_offset -xoff (mm), half_scan -hscan, counter_clockwise -ccw,
      phase -ph (1..10), scale -sc, offset -so, suffix -ext,
      x_binning -xb, y_binning -yb, width -w (accepted, no effect);
      all_phases --all-phases (every bin: `volumes` holds ten arrays),
      prior_image --mkb (prior-image bins), prior_cutoff --mkb-cutoff,
      prior_step --mkb-step, iterative --iterative (iterative bins),
      iterations --iterations, subsets --subsets, tv_weight --tv-weight,
      iter_binning --iter-binning, patient_position --patient-position (sets the grid's
      axes), patient_id, patient_name (DICOM), threads --threads (0: every core),
      isa --isa (auto, scalar, avx2, avx512).
    write=True also writes the files the command line writes, with formats,
    float_output, preview, window and hu_water as in Reconstruction.write().
    verbose: the program's console lines on stdout and its messages on stderr;
    progress: its progress bar on stderr (on a terminal).

    The reconstruction runs without the GIL.  A 4-D run writes the trigger trace
    4dcbctrpm.out in the working folder, as the program does.  Results are the
    same bits for any thread count.
    """
    import time
    opts = dict(detector_columns=detector_columns, detector_rows=detector_rows, pixels=pixels,
                fov=fov, slice_thickness=slice_thickness, views=views, first_view=first_view,
                detector_offset=detector_offset, half_scan=half_scan,
                counter_clockwise=counter_clockwise, scale=scale, offset=offset, suffix=suffix,
                all_phases=all_phases, prior_image=prior_image, prior_cutoff=prior_cutoff,
                prior_step=prior_step, iterative=iterative, iterations=iterations, subsets=subsets,
                tv_weight=tv_weight, iter_binning=iter_binning,
                patient_position=patient_position, patient_id=patient_id,
                patient_name=patient_name, threads=threads, isa=isa, x_binning=x_binning,
                y_binning=y_binning, width=width)
    args = command_line(prefix, mask, respiratory, phase=phase, **opts)
    out_args = _output_args(formats, float_output, preview, window, hu_water)
    run = _run(args + out_args, verbose, progress)
    if write:
        run.check(args + out_args)  # every output checked before the reconstruction
    t0 = time.perf_counter()
    try:
        run.execute()
    finally:
        _warn(run)
    result = Reconstruction(run, args, time.perf_counter() - t0)
    if write:
        failures = run.write(args + out_args)
        if failures:
            raise Error("; ".join(failures))
    return result


def estimate_memory(prefix, mask, respiratory=None, **options):
    """The memory (bytes) the reconstruction with these arguments needs: the
    program's own estimate, which its pre-check compares with what the
    machine can give.  Reads no projection; takes reconstruct()'s keywords."""
    threads = options.get("threads") or len(os.sched_getaffinity(0))
    phase = options.pop("phase", None)
    run = Run(command_line(prefix, mask, respiratory, phase=phase, **options), False, False)
    return int(run.memory_needed(threads))


def read_projection(name, rows=0, columns=0):
    """Reads one projection file: (header, pixels).  header: dict of the fields the
    program uses (columns, rows: the image size the header states, or None; angle,
    ctnorm) plus what decoding found (pixels_decoded, truncated, invalid_code) and the
    raw 1024 bytes; pixels: uint32 counts [row][column].  rows/columns: the image size
    when the header states none."""
    return _read_projection(os.fspath(name), rows, columns)


def read_respiratory(name):
    """Reads a respiratory-signal file: dict of the accepted trigger samples' arrays
    time, phase (radians), amplitude and bin (1..10), and samples (data lines
    used) and capacity (data lines the header announces)."""
    return _read_respiratory(os.fspath(name))


def simulate(prefix, **options):
    """Writes a simulated scan as cbrecon-sim does: keywords are its long options
    with - as _ (views=24, cols=64, rows=48, scale=0.0625, phantom="thorax",
    vxp="scan/breathing.vxp", ...; True for a flag such as noise).  Returns dict:
    views (file names), mask, respiratory."""
    args = ["cbrecon-sim", "--prefix", os.fspath(prefix)]
    for key, value in options.items():
        name = "--" + key.replace("_", "-")
        if value is True:
            args.append(name)
        elif value is not False and value is not None:
            args += [name, os.fspath(value) if isinstance(value, os.PathLike) else
                     (value if isinstance(value, str) else _number(value))]
    return _simulate(args)
