#!/usr/bin/env python3
"""Writes a deterministic application-like tree of about 6 MB: a few MB of
executable-like data, many small text files, and some incompressible files.
usage: make-synthetic-tree.py DIR [--app EXE]
With --app, EXE is the tree's Brenvelt.exe and the executable-like data moves to
Brenvelt.core, so that an installer of the tree launches a real program."""
import os
import random
import shutil
import sys

root = sys.argv[1]
app = sys.argv[3] if len(sys.argv) > 3 and sys.argv[2] == "--app" else None
rng = random.Random(20241231)
os.makedirs(root, exist_ok=True)


def write(relative, data, mtime=1_700_000_000):
    path = os.path.join(root, relative)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (mtime, mtime))


def code_like(size):
    # Machine code compresses to roughly half: short repeated idioms among varied bytes.
    idioms = [bytes(rng.randrange(256) for _ in range(rng.randrange(2, 9))) for _ in range(400)]
    out = bytearray()
    while len(out) < size:
        if rng.random() < 0.6:
            out += rng.choice(idioms)
        else:
            out += bytes(rng.randrange(256) for _ in range(rng.randrange(1, 4)))
    return bytes(out[:size])


words = ("brenvelt tavisk window file record stream value install setup version "
         "folder notice registry user data module").split()


def text_like(size):
    out = []
    n = 0
    while n < size:
        line = " ".join(rng.choice(words) for _ in range(rng.randrange(4, 12))) + "\r\n"
        out.append(line)
        n += len(line)
    return "".join(out).encode()[:size]


write("Brenvelt.core" if app else "Brenvelt.exe", code_like(2_400_000))
if app:
    shutil.copy(app, os.path.join(root, "Brenvelt.exe"))
write("core.dll", code_like(900_000))
write("render.dll", code_like(500_000))
write("首次使用必看.txt", "首次使用本软件前请阅读。\r\n".encode("utf-8") * 40)
for i in range(300):
    write(f"help/topic{i:03d}.txt", text_like(rng.randrange(500, 6000)))
for i in range(60):
    write(f"locale/zh-CN/strings{i:02d}.ini", text_like(rng.randrange(200, 3000)))
for i in range(6):
    write(f"media/image{i}.png", rng.randbytes(200_000))
