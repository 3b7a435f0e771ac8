#!/usr/bin/env python3
"""Writes the demo's sample game folder: a few dozen files in subfolders,
names with blanks and non-ASCII letters, empty files and an empty folder.
The same bytes and the same modification times on every run, so a second
publish finds nothing to do. Files that already match are not rewritten."""
import os
import random
import sys

BASE_TIME = 1767225600  # 2026-01-01 00:00 UTC


def files():
    rng = random.Random(20260101)
    out = []

    def add(path, data):
        out.append((path, data))

    add("quorvane.dat", b"QUORVANE sample game data\n")
    add("Config/Settings.default.ini", b"[Display]\nWidth=1280\nHeight=720\nWindowed=1\n")
    add("Config/keys.cfg", "".join(f"bind {k} action{i}\n" for i, k in enumerate("wasdqe")).encode())
    for i in range(12):
        # Map tiles: compressible, different per file.
        row = bytes(rng.randrange(8) for _ in range(64))
        add(f"Data/Maps/zone_{i:02d}.map", row * (200 + 37 * i))
    for i in range(8):
        # Sound banks: little redundancy, like real audio.
        add(f"Data/Sounds/bank{i}.snd", bytes(rng.randrange(256) for _ in range(3000 + 500 * i)))
    for i in range(6):
        add(f"Data/Textures/tex_{i}.dds", bytes(rng.randrange(16) * 16 for _ in range(20000)))
    add("Data/Lieder/Überfahrt nach Nordheim.ogg", bytes(rng.randrange(256) for _ in range(4096)))
    add("Data/Lieder/Ölmühle.ogg", bytes(rng.randrange(256) for _ in range(2048)))
    add("Data/文字/ようこそ.txt", "ようこそ、冒険者よ。\n".encode("utf-8"))
    add("Docs/Read Me.txt", b"Welcome to the Veltrune demo game.\r\n")
    add("Docs/Release Notes (build 29).txt", b"Build 29: the demo.\n")
    add("Docs/empty.txt", b"")
    add("Logs/.keep", b"")
    add("Packs/base.pak", b"".join(bytes([i % 251]) * 1024 for i in range(600)))
    return out


def write_if_changed(path, data, mtime):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    try:
        with open(path, "rb") as f:
            same = f.read() == data
    except FileNotFoundError:
        same = False
    if not same:
        with open(path, "wb") as f:
            f.write(data)
    os.utime(path, ns=(mtime * 10**9, mtime * 10**9))


def main():
    if len(sys.argv) != 2:
        print("usage: make-sample-game.py FOLDER", file=sys.stderr)
        return 2
    root = sys.argv[1]
    listed = files()
    for i, (rel, data) in enumerate(listed):
        write_if_changed(os.path.join(root, rel), data, BASE_TIME + 3600 * i)
    os.makedirs(os.path.join(root, "Screenshots"), exist_ok=True)
    print(f"sample game: {len(listed)} files in {root}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
