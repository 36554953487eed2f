#!/usr/bin/env python3
"""Reads a DICOM series written by cbrecon --format dcm, with pydicom.

    read_dicom.py FOLDER [--raw OUT]

Every file of FOLDER is read; the files are put in Instance Number order.
It prints, one per line:

    files N
    study UID          (one line per distinct value: several mean a fault)
    frame UID
    series UID
    series_number N
    description TEXT
    position HFS|HFP|FFS|FFP
    modality CT
    model NAME
    software VERSION
    patient_id TEXT
    patient_name TEXT
    study_id TEXT
    charset TEXT       Specific Character Set ("" when absent)
    temporal N OF P    Temporal Position Identifier, Number of Temporal Positions
    resp_phase PCT     Nominal Percentage of Respiratory Phase ("" when absent)
    rows R
    columns C
    spacing ROW COLUMN     Pixel Spacing (mm between rows, between columns)
    thickness MM
    orientation RX RY RZ CX CY CZ
    rescale SLOPE INTERCEPT TYPE
    padding VALUE
    window CENTRE WIDTH
    slice INSTANCE X Y Z LOCATION SOP_UID      one per file, instance order

With --raw the stored pixel values are written to OUT as little-endian
signed 16-bit numbers, column fastest, then row, then instance.
"""

import argparse
import os
import struct
import sys

try:
    import pydicom
except ImportError:
    sys.exit("read_dicom.py: needs pydicom (Debian python3-pydicom)")


def fail(msg):
    sys.exit("read_dicom.py: " + msg)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("folder")
    ap.add_argument("--raw")
    args = ap.parse_args()
    names = sorted(os.listdir(args.folder))
    if not names:
        fail("empty folder")
    sets = [pydicom.dcmread(os.path.join(args.folder, n)) for n in names]
    sets.sort(key=lambda d: int(d.InstanceNumber))
    first = sets[0]
    out = ["files %d" % len(sets)]
    for key, attr in (("study", "StudyInstanceUID"), ("frame", "FrameOfReferenceUID"),
                      ("series", "SeriesInstanceUID")):
        for v in sorted({str(getattr(d, attr)) for d in sets}):
            out.append("%s %s" % (key, v))
    out.append("series_number %s" % first.SeriesNumber)
    out.append("description %s" % first.SeriesDescription)
    out.append("position %s" % first.PatientPosition)
    out.append("modality %s" % first.Modality)
    out.append("model %s" % first.ManufacturerModelName)
    out.append("software %s" % first.SoftwareVersions)
    out.append("patient_id %s" % first.PatientID)
    out.append("patient_name %s" % first.PatientName)
    out.append("study_id %s" % first.get("StudyID", ""))
    out.append("charset %s" % first.get("SpecificCharacterSet", ""))
    out.append("temporal %s OF %s" % (first.get("TemporalPositionIdentifier", ""),
                                      first.get("NumberOfTemporalPositions", "")))
    out.append("resp_phase %s" % first.get("NominalPercentageOfRespiratoryPhase", ""))
    out.append("rows %d" % first.Rows)
    out.append("columns %d" % first.Columns)
    out.append("spacing %r %r" % (float(first.PixelSpacing[0]), float(first.PixelSpacing[1])))
    out.append("thickness %r" % float(first.SliceThickness))
    out.append("orientation " + " ".join(repr(float(v)) for v in first.ImageOrientationPatient))
    out.append("rescale %r %r %s" % (float(first.RescaleSlope), float(first.RescaleIntercept),
                                     first.RescaleType))
    out.append("padding %d" % first.PixelPaddingValue)
    out.append("window %r %r" % (float(first.WindowCenter), float(first.WindowWidth)))
    raw = bytearray()
    for d in sets:
        if d.BitsAllocated != 16 or d.PixelRepresentation != 1 or d.SamplesPerPixel != 1:
            fail("only signed 16-bit grey images are read")
        if not d.file_meta.TransferSyntaxUID.is_little_endian or d.file_meta.TransferSyntaxUID.is_compressed:
            fail("only uncompressed little-endian files are read")
        pos = [float(v) for v in d.ImagePositionPatient]
        out.append("slice %d %r %r %r %r %s" % (int(d.InstanceNumber), pos[0], pos[1], pos[2],
                                                 float(d.SliceLocation), d.SOPInstanceUID))
        data = d.PixelData
        if len(data) != d.Rows * d.Columns * 2:
            fail("pixel data of %d bytes for %d x %d" % (len(data), d.Rows, d.Columns))
        raw += data
    if args.raw:
        with open(args.raw, "wb") as f:
            f.write(raw)
    print("\n".join(out))


if __name__ == "__main__":
    main()
