#!/usr/bin/env bash
# compare_builds.sh BASE_BIN NEW_BIN [SIM_BIN]: the same runs (3-D with formats and preview, scalar on one
# thread, a 128-voxel grid on which the backprojection planner times its shapes, every bin, prior-image bins,
# one bin counter-clockwise, offset detector, half scan, DICOM) with two builds of cbrecon on small simulated
# scans; every output file, stdout (times masked), stderr and status compared byte for byte, DICOM by pixel
# data (their UIDs are new every run).  Prints "same: RUN" or the differences; exits 1 if any run differs.
# For changes that must not change a byte.
set -u
B=$(realpath $1); N=$(realpath $2); SIM=${3:-$(dirname $N)/cbrecon-sim}
D=/tmp/cmpruns.$$; mkdir -p $D/scan $D/off
$SIM --prefix $D/scan/PROJ_ --views 120 --cols 256 --rows 192 --scale 0.25 --phantom thorax --vxp $D/scan/b.vxp >/dev/null
$SIM --prefix $D/off/PROJ_ --views 120 --cols 256 --rows 192 --scale 0.25 --phantom thorax --xoff -37 >/dev/null
common="-d 256 -z 192 -s 120 -p 96 -fov 60 -pz 5"
runs=(
 "3d|scan/PROJ_ scan/NormImage.hnd 0 $common --format nrrd --format nii --preview p.png"
 "3d-scalar|scan/PROJ_ scan/NormImage.hnd 0 $common --isa scalar --threads 1"
 "3d-p128|scan/PROJ_ scan/NormImage.hnd 0 -d 256 -z 192 -s 120 -p 128 -fov 60 -pz 5"
 "allph|scan/PROJ_ scan/NormImage.hnd scan/b.vxp $common --all-phases"
 "mkb|scan/PROJ_ scan/NormImage.hnd scan/b.vxp $common --all-phases --mkb"
 "mkb3|scan/PROJ_ scan/NormImage.hnd scan/b.vxp $common -ph 3 --mkb --timings"
 "ph4|scan/PROJ_ scan/NormImage.hnd scan/b.vxp $common -ph 4 -ccw"
 "off|off/PROJ_ off/NormImage.hnd 0 $common -xoff -37"
 "hscan|scan/PROJ_ scan/NormImage.hnd 0 $common -hscan"
 "dcm|scan/PROJ_ scan/NormImage.hnd 0 $common --format dcm --hu-water 2000"
)
fail=0
for r in "${runs[@]}"; do
  name=${r%%|*}; args=${r#*|}
  for side in base new; do
    bin=$B; [ $side = new ] && bin=$N
    rm -rf $D/$side; mkdir -p $D/$side; cp -r $D/scan $D/off $D/$side/
    (cd $D/$side && $bin $args >stdout 2>stderr; echo "status $?" >>stdout)
    rm -rf $D/$side/scan/*.hnd $D/$side/off/*.hnd
    sed -i -E 's/time backproj= *[0-9.]+/time backproj=T/; s/Installation time [0-9.]+/Installation time T/; s/^Total time backproj= *[0-9.]+/Total time T/' $D/$side/stdout
    sed -i -E '/^timings: /d' $D/$side/stderr
  done
  if diff -r -x '*.dcm' $D/base $D/new >/dev/null; then echo "same: $name"; else echo "DIFF: $name"; diff -r -x '*.dcm' $D/base $D/new | head -5; fail=1; fi
  if [ $name = dcm ]; then
    /usr/bin/python3 - $D/base $D/new <<'PY' || fail=1
import sys, glob, pydicom
def px(root):
    fs = sorted(glob.glob(root + "/**/*.dcm", recursive=True))
    return [pydicom.dcmread(f).PixelData for f in fs]
a, b = px(sys.argv[1]), px(sys.argv[2])
print("  dcm slices %d vs %d, pixel data %s" % (len(a), len(b), "same" if a == b else "DIFFERENT"))
sys.exit(0 if a == b and a else 1)
PY
  fi
done
rm -rf $D
exit $fail
