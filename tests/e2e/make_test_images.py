#!/usr/bin/env python3
"""Writes the payload images that the failure cases embed, from the sample image:
  truncated.img     the sample without its last 100 bytes (totalLength now too large)
  corrupted.img     the sample with one bit of its last zlib stream flipped (bad Adler-32)
  hostile-name.img  a sound image but for a file named ..\\..\\escaped.txt
usage: make_test_images.py SAMPLE.img OUTDIR"""
import os
import struct
import sys

sample_path, out = sys.argv[1], sys.argv[2]
os.makedirs(out, exist_ok=True)
sample = open(sample_path, "rb").read()


def write(name, data):
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)


write("truncated.img", sample[:-100])

# The last record of the sample is a zlib file: its last byte ends the Adler-32 trailer.
# Flipping a high-nibble bit leaves the scrambling alone and changes the plain byte.
write("corrupted.img", sample[:-1] + bytes([sample[-1] ^ 0x10]))


def image(records, nibble_map):
    stream = b"".join(records)
    scrambled = bytes((b & 0xF0) | nibble_map[b & 0x0F] for b in stream)
    return struct.pack("<i", 20 + len(stream)) + bytes(nibble_map) + scrambled


def name(text):
    return text.encode("utf-16-le") + b"\0\0"


def stored_file(path, data, filetime=133541212290000000):
    return b"\x01" + name(path) + struct.pack("<QBi", filetime, 0, len(data)) + data


nibble_map = list(sample[4:20])
write("hostile-name.img", image([
    b"\x00" + name("docs"),
    stored_file("docs\\fine.txt", b"fine"),
    stored_file("..\\..\\escaped.txt", b"escaped"),
], nibble_map))
