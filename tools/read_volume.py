#!/usr/bin/env python3
"""Reads a volume written by cbrecon --format and reports what a viewer sees.

    read_volume.py FILE [--raw OUT]

FILE is a MetaImage (.mha), NRRD (.nrrd) or NIfTI-1 (.nii, .nii.gz) file.
This reader shares no code with the program: MetaImage and NRRD headers are
parsed here from the formats' published descriptions, NIfTI files are read
with nibabel.  It prints, one per line:

    type int16|float32
    size NI NJ NK
    origin X Y Z            world position of the centre of voxel (0,0,0)
    axis0 X Y Z             world step from voxel i to voxel i+1
    axis1 X Y Z
    axis2 X Y Z

World coordinates are LPS (NIfTI's RAS is converted: x and y change sign).
With --raw the voxel values are written to OUT as little-endian numbers,
first axis fastest.
"""

import argparse
import struct
import sys

# Element types of the two text formats, as (name we print, struct code).
MET_TYPES = {"MET_SHORT": ("int16", "h"), "MET_FLOAT": ("float32", "f")}
NRRD_TYPES = {
    "short": ("int16", "h"), "short int": ("int16", "h"), "signed short": ("int16", "h"),
    "signed short int": ("int16", "h"), "int16": ("int16", "h"), "int16_t": ("int16", "h"),
    "float": ("float32", "f"),
}


def fail(msg):
    sys.exit("read_volume.py: " + msg)


def numbers(text, count, what):
    vals = [float(v) for v in text.split()]
    if len(vals) != count:
        fail("%s: expected %d numbers, got %r" % (what, count, text))
    return vals


def to_little(data, code, big_endian):
    """The payload as little-endian values of the given struct code."""
    if not big_endian:
        return data
    n = len(data) // struct.calcsize(code)
    return struct.pack("<%d%s" % (n, code), *struct.unpack(">%d%s" % (n, code), data))


def read_mha(path):
    # "Key = Value" lines; ElementDataFile is the last one, and with LOCAL
    # the data start right after its line.
    with open(path, "rb") as f:
        blob = f.read()
    fields, pos = {}, 0
    while True:
        end = blob.index(b"\n", pos)
        line = blob[pos:end].decode("ascii").rstrip("\r")
        pos = end + 1
        key, sep, value = line.partition("=")
        if not sep:
            fail("MetaImage line without '=': %r" % line)
        fields[key.strip()] = value.strip()
        if key.strip() == "ElementDataFile":
            break
    if fields.get("ObjectType", "Image") != "Image" or fields.get("NDims") != "3":
        fail("not a 3-D MetaImage")
    if fields["ElementDataFile"] != "LOCAL" or fields.get("CompressedData", "False") != "False":
        fail("only uncompressed LOCAL data are read")
    if fields.get("BinaryData", "True") != "True":
        fail("only binary data are read")
    name, code = MET_TYPES[fields["ElementType"]]
    size = [int(v) for v in numbers(fields["DimSize"], 3, "DimSize")]
    spacing = numbers(fields.get("ElementSpacing", "1 1 1"), 3, "ElementSpacing")
    origin = numbers(fields.get("Offset", fields.get("Position", "0 0 0")), 3, "Offset")
    matrix = numbers(fields.get("TransformMatrix", fields.get("Rotation", fields.get(
        "Orientation", "1 0 0 0 1 0 0 0 1"))), 9, "TransformMatrix")
    # The matrix lists the unit direction of each index axis in turn.
    axes = [[matrix[3 * a + k] * spacing[a] for k in range(3)] for a in range(3)]
    msb = fields.get("BinaryDataByteOrderMSB", fields.get("ElementByteOrderMSB", "False"))
    data = blob[pos:]
    return name, code, size, origin, axes, data, msb == "True"


def nrrd_vector(text):
    text = text.strip()
    if not (text.startswith("(") and text.endswith(")")):
        fail("bad NRRD vector %r" % text)
    return [float(v) for v in text[1:-1].split(",")]


def read_nrrd(path):
    # Field lines "name: value", comments "#", key/value pairs ":="; the
    # header ends at the first empty line and the data follow it.
    with open(path, "rb") as f:
        blob = f.read()
    if not blob.startswith(b"NRRD000"):
        fail("no NRRD magic")
    fields, pos = {}, blob.index(b"\n") + 1
    while True:
        end = blob.index(b"\n", pos)
        line = blob[pos:end].decode("ascii").rstrip("\r")
        pos = end + 1
        if line == "":
            break
        if line.startswith("#") or ":=" in line:
            continue
        key, sep, value = line.partition(": ")
        if not sep:
            fail("bad NRRD line %r" % line)
        fields[key] = value
    if int(fields["dimension"]) != 3:
        fail("not a 3-D NRRD")
    if fields.get("encoding") != "raw" or "data file" in fields or "datafile" in fields:
        fail("only attached raw data are read")
    name, code = NRRD_TYPES[fields["type"]]
    size = [int(v) for v in fields["sizes"].split()]
    if fields.get("space") not in ("left-posterior-superior", "LPS"):
        fail("space %r is not LPS" % fields.get("space"))
    axes = [nrrd_vector(v) for v in fields["space directions"].split()]
    origin = nrrd_vector(fields.get("space origin", "(0,0,0)"))
    data = blob[pos:]
    return name, code, size, origin, axes, data, fields.get("endian") == "big"


def read_nifti(path):
    import nibabel
    import numpy

    img = nibabel.load(path)
    if len(img.shape) != 3:
        fail("not a 3-D NIfTI image")
    arr = numpy.asanyarray(img.dataobj)
    kinds = {numpy.dtype("int16"): ("int16", "<i2"), numpy.dtype("float32"): ("float32", "<f4")}
    name, little = kinds[arr.dtype]
    aff = img.affine  # RAS
    if img.header["qform_code"] > 0 and img.header["sform_code"] > 0:
        if not numpy.allclose(img.get_qform(), img.get_sform(), rtol=0, atol=1e-5):
            fail("qform and sform disagree:\n%s\n%s" % (img.get_qform(), img.get_sform()))
    flip = [-1.0, -1.0, 1.0]
    axes = [[float(aff[k][a]) * flip[k] for k in range(3)] for a in range(3)]
    origin = [float(aff[k][3]) * flip[k] for k in range(3)]
    data = arr.astype(little).tobytes(order="F")
    return name, None, list(img.shape), origin, axes, data, False


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("file")
    ap.add_argument("--raw")
    args = ap.parse_args()
    if args.file.endswith(".mha"):
        name, code, size, origin, axes, data, big = read_mha(args.file)
    elif args.file.endswith(".nrrd"):
        name, code, size, origin, axes, data, big = read_nrrd(args.file)
    elif args.file.endswith(".nii") or args.file.endswith(".nii.gz"):
        name, code, size, origin, axes, data, big = read_nifti(args.file)
    else:
        fail("unknown extension: " + args.file)
    if code is not None:
        need = size[0] * size[1] * size[2] * struct.calcsize(code)
        if len(data) != need:
            fail("%d bytes of data, %d expected" % (len(data), need))
        data = to_little(data, code, big)
    print("type", name)
    print("size %d %d %d" % tuple(size))
    print("origin %.17g %.17g %.17g" % tuple(origin))
    for a in range(3):
        print("axis%d %.17g %.17g %.17g" % ((a,) + tuple(axes[a])))
    if args.raw:
        with open(args.raw, "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
