#!/usr/bin/env python3
"""The SpamAssassin public corpus as an IncrediMail mailbox, and checks of what
Tessaport made of it.

    corpus.py mailbox CORPUS_DIR OUT.imm
        Concatenates every message of the corpus (sorted by path) the way
        IncrediMail stores mail: each file's leading mbox "From " line dropped,
        CR LF line ends, no separators. Writes OUT.imm.json beside it: each
        message's file name and byte range.
    corpus.py eml OUT.imm EML_DIR
        Checks an EML run: one Email-k.eml per message, holding exactly that
        message's bytes (plus the CR LF every .eml ends with).
    corpus.py due OUT.imm
        Prints how many messages an output of OUT.imm should hold.
    corpus.py mbox OUT.imm MBOX_FILE
        Checks an MBOX run: Python's mailbox module reads one message per
        corpus message, each with the corpus message's header fields and body.

Prints what differs (at most 20 lines of it) and exits 1 on any difference.
The messages named in KNOWN_SPLITS are the ones the finder is known to cut in
two (see there); each must come out as exactly two pieces, so that a change in
the finder, for better or worse, shows here.
"""
import email.parser
import email.policy
import json
import mailbox
import os
import re
import sys


# Messages the finder cuts in two, knowingly:
# - a header dump pasted into the text, with trace fields and nothing that
#   introduces it, cannot be told from the next message;
# - a header with empty lines inside it ends, for every reader, at the first.
KNOWN_SPLITS = {
    "easy-ham-1/01750.73b4d9ab83de83ae58707c8bdcda0fc5.txt",
    "spam-1/00481.5c95b526e965fa325044123c4ce29c1f.txt",
}


# Messages with an attachment part that holds nothing (what IncrediMail leaves
# when it keeps the file in its attachments folder): the part is taken out, and
# the report names it; the rest of the message stays as it is.
EMPTY_PARTS = {
    "spam-1/00022.8203cdf03888f656dc0381701148f73d.txt",
    "spam-2/00009.1e1a8cb4b57532ab38aa23287523659d.txt",
    "spam-2/00615.e47bff6118d4ff6d98581fa6f40ab871.txt",
    "spam-2/00616.1e86f2d3478f10a3a413844bba74f450.txt",
    "spam-2/01240.7d6ae3682a3dd3fe457516b188eb105c.txt",
}


def message_bytes(path):
    with open(path, "rb") as f:
        data = f.read()
    if data.startswith(b"From "):
        data = data[data.find(b"\n") + 1:] if b"\n" in data else b""
    data = data.replace(b"\r\n", b"\n").replace(b"\r", b"\n").replace(b"\n", b"\r\n")
    if data and not data.endswith(b"\r\n"):
        data += b"\r\n"
    return data


def make_mailbox(corpus, out):
    files = []
    for top, _, names in os.walk(corpus):
        files += [os.path.join(top, n) for n in names if n.endswith(".txt")]
    files.sort()
    index = []
    pos = 0
    with open(out, "wb") as f:
        for path in files:
            data = message_bytes(path)
            if not data:
                continue
            f.write(data)
            index.append({"name": os.path.relpath(path, corpus), "begin": pos,
                          "end": pos + len(data)})
            pos += len(data)
    with open(out + ".json", "w") as f:
        json.dump(index, f)
    print("%s: %d messages, %d bytes" % (out, len(index), pos))


def load(imm):
    with open(imm, "rb") as f:
        data = f.read()
    with open(imm + ".json") as f:
        index = json.load(f)
    return data, index


class Report:
    def __init__(self):
        self.faults = 0

    def __call__(self, text):
        self.faults += 1
        if self.faults <= 20:
            print(text)

    def end(self, what, total):
        if self.faults:
            print("%s: %d difference(s) in %d messages" % (what, self.faults, total))
            return 1
        print("%s: all %d messages as due: whole and alone, but for %d known splits and"
              " %d empty attachment parts taken out" % (what, total, len(KNOWN_SPLITS),
                                                        len(EMPTY_PARTS)))
        return 0


def check_eml(imm, folder):
    data, index = load(imm)
    report = Report()
    files = sorted((n for n in os.listdir(folder) if n.endswith(".eml")),
                   key=lambda n: int(n[6:-4]))
    want_files = due(index)
    if len(files) != want_files:
        report("%d .eml files where %d are due" % (len(files), want_files))
    k = 0
    for m in index:
        want = data[m["begin"]:m["end"]].strip(b" ") + b"\r\n"
        pieces = 2 if m["name"] in KNOWN_SPLITS else 1
        got = b""
        for _ in range(pieces):
            if k >= len(files):
                break
            with open(os.path.join(folder, files[k]), "rb") as f:
                piece = f.read()
            got += piece[:-2] if got == b"" and pieces == 2 else piece
            k += 1
        if m["name"] in EMPTY_PARTS:
            head = want[:want.find(b"\r\n\r\n")]
            if got.startswith(head) and len(got) < len(want):
                continue
        if got.replace(b" ", b"") != want.replace(b" ", b"") if pieces == 2 else got != want:
            report("%s (%s): %d bytes where the message has %d"
                   % (files[k - 1] if k else "-", m["name"], len(got), len(want)))
    return report.end("eml", len(index))


def check_mbox(imm, path):
    data, index = load(imm)
    report = Report()
    parser = email.parser.BytesParser(policy=email.policy.compat32)
    got = list(mailbox.mbox(path, create=False))
    want_count = due(index)
    if len(got) != want_count:
        report("%d messages in the mbox where %d are due" % (len(got), want_count))
    k = 0
    for m in index:
        msg = got[k] if k < len(got) else None
        k += 2 if m["name"] in KNOWN_SPLITS else 1
        if msg is None:
            break
        want = parser.parsebytes(data[m["begin"]:m["end"]])
        if (want.get_all("Message-ID"), want.get_all("Date")) != \
                (msg.get_all("Message-ID"), msg.get_all("Date")):
            report("message %d (%s): header fields differ: %r / %r"
                   % (k, m["name"], want.get("Message-ID"), msg.get("Message-ID")))
            return report.end("mbox", len(index))
        if m["name"] in KNOWN_SPLITS or m["name"] in EMPTY_PARTS:
            continue
        w = want.get_payload(decode=False)
        g = msg.get_payload(decode=False)
        if isinstance(w, str) and isinstance(g, str):
            # mbox keeps the body's lines; they may differ in line ends and in the
            # quoting of lines that begin with "From " (one ">" more), nothing else.
            def norm(t):
                return t.replace("\r\n", "\n").rstrip("\n")
            if norm(w) != re.sub(r"(?m)^>(>*From )", r"\1", norm(g)):
                report("message %d (%s): body differs" % (k, m["name"]))
        elif isinstance(w, list) != isinstance(g, list) or \
                (isinstance(w, list) and len(w) != len(g)):
            report("message %d (%s): MIME structure differs" % (k, m["name"]))
    return report.end("mbox", len(index))


def due(index):
    """How many messages the outputs should hold."""
    return len(index) + sum(1 for m in index if m["name"] in KNOWN_SPLITS)


def main():
    verb = sys.argv[1] if len(sys.argv) > 1 else ""
    if verb == "mailbox" and len(sys.argv) == 4:
        make_mailbox(sys.argv[2], sys.argv[3])
        return 0
    if verb == "eml" and len(sys.argv) == 4:
        return check_eml(sys.argv[2], sys.argv[3])
    if verb == "mbox" and len(sys.argv) == 4:
        return check_mbox(sys.argv[2], sys.argv[3])
    if verb == "due" and len(sys.argv) == 3:
        print(due(load(sys.argv[2])[1]))
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main())
