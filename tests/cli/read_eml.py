#!/usr/bin/env python3
"""Reads .eml files with Python's email package and prints one line per file:
path, subject, content type, leaf part count, attachment names, defect count
(tab separated), so the tests can check what a mail reader would see."""
import sys
from email import policy
from email.parser import BytesParser


def describe(path):
    with open(path, "rb") as f:
        msg = BytesParser(policy=policy.default).parse(f)
    leaves = [p for p in msg.walk() if not p.is_multipart()]
    names = [p.get_filename() for p in leaves if p.get_filename()]
    defects = sum(len(p.defects) for p in msg.walk())
    subject = str(msg.get("Subject", ""))
    return "\t".join([path, subject, msg.get_content_type(), str(len(leaves)),
                      ",".join(names), str(defects)])


for p in sys.argv[1:]:
    print(describe(p))
