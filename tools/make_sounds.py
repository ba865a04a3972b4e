#!/usr/bin/python3
"""Makes the short sounds of the editor's key row, "keypress.aif" and "shift.aif", into resources/
as 16-bit mono AIFF files: a soft click for a key and a lower, longer one for the shift key. Only
the standard library is used and the output is the same on every run.
Run from anywhere: python3 tools/make_sounds.py [output folder]."""

import math
import os
import struct
import sys

OUT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "resources")

RATE = 22050


def extended(value):
    """The 80-bit IEEE 754 extended number AIFF stores its sample rate in (positive integers)."""
    exponent = 16383 + value.bit_length() - 1
    mantissa = value << (64 - value.bit_length())
    return struct.pack(">HQ", exponent, mantissa)


def click(frequency, milliseconds, decay):
    """A sine tone that fades out exponentially: a key click, not a beep."""
    count = RATE * milliseconds // 1000
    samples = []
    for i in range(count):
        t = i / RATE
        level = math.exp(-t * decay) * math.sin(2 * math.pi * frequency * t)
        samples.append(int(round(level * 12000)))
    return samples


def aiff(samples):
    data = b"".join(struct.pack(">h", s) for s in samples)
    comm = struct.pack(">hIh", 1, len(samples), 16) + extended(RATE)
    ssnd = struct.pack(">II", 0, 0) + data
    chunks = (b"COMM" + struct.pack(">I", len(comm)) + comm +
              b"SSND" + struct.pack(">I", len(ssnd)) + ssnd)
    return b"FORM" + struct.pack(">I", 4 + len(chunks)) + b"AIFF" + chunks


def main():
    os.makedirs(OUT, exist_ok=True)
    sounds = {
        "keypress.aif": click(2200, 30, 160),
        "shift.aif": click(1200, 45, 110),
    }
    for name, samples in sounds.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(aiff(samples))


if __name__ == "__main__":
    main()
