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
    corpus.py mbox OUT.imm MBOX_FILE
        Checks an MBOX run: Python's mailbox module reads one message per
        corpus message, each with the corpus message's header fields and body.

Prints what differs (at most 20 lines of it) and exits 1 on any difference.
"""
import email.parser
import email.policy
import json
import mailbox
import os
import sys


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
        print("%s: all %d messages whole and alone" % (what, total))
        return 0


def check_eml(imm, folder):
    data, index = load(imm)
    report = Report()
    names = sorted(n for n in os.listdir(folder) if n.endswith(".eml"))
    if len(names) != len(index):
        report("%d .eml files where the corpus has %d messages" % (len(names), len(index)))
    for k, m in enumerate(index, 1):
        path = os.path.join(folder, "Email-%d.eml" % k)
        want = data[m["begin"]:m["end"]].strip(b" ") + b"\r\n"
        try:
            with open(path, "rb") as f:
                got = f.read()
        except OSError as e:
            report("message %d (%s): %s" % (k, m["name"], e))
            continue
        if got != want:
            report("message %d (%s): Email-%d.eml holds %d bytes, the message %d"
                   % (k, m["name"], k, len(got), len(want)))
    return report.end("eml", len(index))


def check_mbox(imm, path):
    data, index = load(imm)
    report = Report()
    parser = email.parser.BytesParser(policy=email.policy.compat32)
    box = mailbox.mbox(path, create=False)
    got = list(box)
    if len(got) != len(index):
        report("%d messages in the mbox where the corpus has %d" % (len(got), len(index)))
    for k, (m, msg) in enumerate(zip(index, got), 1):
        want = parser.parsebytes(data[m["begin"]:m["end"]])
        if (want.get_all("Message-ID"), want.get_all("Subject"), want.get_all("Date")) != \
                (msg.get_all("Message-ID"), msg.get_all("Subject"), msg.get_all("Date")):
            report("message %d (%s): header fields differ: %r / %r"
                   % (k, m["name"], want.get("Subject"), msg.get("Subject")))
            continue
        w = want.get_payload(decode=False)
        g = msg.get_payload(decode=False)
        if isinstance(w, str) and isinstance(g, str):
            # mbox keeps the body's lines; its reader may differ in line ends and
            # the From-quoting of body lines, nothing else.
            norm = lambda s: s.replace("\r\n", "\n").replace("\n>From ", "\nFrom ").rstrip("\n")
            if norm(w) != norm(g):
                report("message %d (%s): body differs" % (k, m["name"]))
        elif isinstance(w, list) != isinstance(g, list) or \
                (isinstance(w, list) and len(w) != len(g)):
            report("message %d (%s): MIME structure differs" % (k, m["name"]))
    return report.end("mbox", len(index))


def main():
    verb = sys.argv[1] if len(sys.argv) > 1 else ""
    if verb == "mailbox" and len(sys.argv) == 4:
        make_mailbox(sys.argv[2], sys.argv[3])
        return 0
    if verb == "eml" and len(sys.argv) == 4:
        return check_eml(sys.argv[2], sys.argv[3])
    if verb == "mbox" and len(sys.argv) == 4:
        return check_mbox(sys.argv[2], sys.argv[3])
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main())
