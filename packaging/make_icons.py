#!/usr/bin/env python3
"""Draws the program's icon at the hicolor theme's usual sizes, with the same
drawing as the window's icon (app/art/make_art.py). Run from the repository's
top folder; the PNGs it writes under packaging/icons/ are kept in the repository.
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "app", "art"))
import make_art  # noqa: E402

SIZES = [16, 22, 24, 32, 48, 64, 128, 256]

if __name__ == "__main__":
    for size in SIZES:
        folder = os.path.join(HERE, "icons", "hicolor", "%dx%d" % (size, size), "apps")
        os.makedirs(folder, exist_ok=True)
        make_art.icon(size, os.path.join(folder, "tessaport.png"))
        print(os.path.join(folder, "tessaport.png"))
