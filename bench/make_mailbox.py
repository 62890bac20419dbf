#!/usr/bin/env python3
"""Builds a benchmark mailbox from the SpamAssassin corpus files given on the
command line: each file loses its leading mbox "From " line, gets CR LF line ends,
and the files are concatenated, the whole corpus repeated until the mailbox holds
at least the requested number of megabytes.
    make_mailbox.py OUT MEGABYTES FILE...
"""
import sys


def main():
    out, megabytes, files = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    parts = []
    for name in sorted(files):
        with open(name, "rb") as f:
            data = f.read()
        if data.startswith(b"From "):
            data = data[data.find(b"\n") + 1:] if b"\n" in data else b""
        data = data.replace(b"\r\n", b"\n").replace(b"\r", b"\n").replace(b"\n", b"\r\n")
        if data and not data.endswith(b"\r\n"):
            data += b"\r\n"
        parts.append(data)
    corpus = b"".join(parts)
    target = megabytes << 20
    written = 0
    with open(out, "wb") as f:
        while written < target:
            f.write(corpus)
            written += len(corpus)
    copies = written // len(corpus)
    # Beside the mailbox: its copies of the corpus and the messages in one copy.
    with open(out.replace(".part", "") + ".copies", "w") as f:
        f.write("%d %d\n" % (copies, len(parts)))
    print("%s: %d bytes, %d messages in the corpus, repeated %d times"
          % (out, written, len(parts), copies))


if __name__ == "__main__":
    main()
