#!/usr/bin/env python3
"""Reads an .mbox with Python's mailbox module and compares it, message for
message, with what was written.

    check_mbox.py MBOX EXPECTED_DIR

EXPECTED_DIR holds 1.eml, 2.eml, ... (each message as it was handed to the
writer) and 1.from, 2.from, ... (the expected separator line without "From ").
A record holds the message's lines, each ended with CR LF (a line ends at CR LF
or a lone CR), then an empty line; mboxrd quoting is undone here before
comparing. Prints "ok N" on success, otherwise what differs, and exits 1.
"""
import mailbox
import os
import re
import sys


def normalise(data):
    data = re.sub(rb"\r\n|\r", b"\r\n", data)
    if data and not data.endswith(b"\r\n"):
        data += b"\r\n"
    return data


def unquote(data):
    lines = data.split(b"\n")
    return b"\n".join(l[1:] if re.match(rb">+From ", l) else l for l in lines)


def main():
    box = mailbox.mbox(sys.argv[1], create=False)
    expected_dir = sys.argv[2]
    count = len([n for n in os.listdir(expected_dir) if n.endswith(".eml")])
    keys = list(box.keys())
    errors = []
    if len(keys) != count:
        errors.append("%d messages read, %d written" % (len(keys), count))
    for i, key in enumerate(keys[:count], start=1):
        with open(os.path.join(expected_dir, "%d.eml" % i), "rb") as f:
            want = normalise(f.read())
        with open(os.path.join(expected_dir, "%d.from" % i), "rb") as f:
            want_from = f.read().decode("utf-8")
        got = box.get_bytes(key)
        if not got.endswith(b"\r\n"):
            errors.append("message %d: no empty line after it" % i)
        got = unquote(got[:-2])
        if got != want:
            errors.append("message %d differs:\n  got  %r\n  want %r" % (i, got[:300], want[:300]))
        got_from = box.get_message(key).get_from().rstrip("\r")
        if not re.fullmatch(want_from, got_from):
            errors.append("message %d: From line %r, expected %r" % (i, got_from, want_from))
    if errors:
        print("\n".join(errors))
        sys.exit(1)
    print("ok %d" % count)


main()
