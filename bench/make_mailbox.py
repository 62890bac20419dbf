#!/usr/bin/env python3
"""Builds a benchmark mailbox from the SpamAssassin corpus files given on the
command line: each file loses its leading mbox "From " line, gets CR LF line ends,
and the files are concatenated, the whole corpus repeated until the mailbox holds
at least the requested number of megabytes.
    make_mailbox.py OUT MEGABYTES FILE...
"""
import os
import sys

# Each message as the tests' real-mail mailbox has it.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "corpus"))
from corpus import message_bytes  # noqa: E402


def main():
    out, megabytes, files = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    parts = [message_bytes(name) for name in sorted(files)]
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
