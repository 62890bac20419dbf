#!/usr/bin/env python3
"""Prints the attachments a reader finds, one line each, so the tests can check
what a mail program shows.

  read_parts.py eml FILE...   Python's email package: for each leaf part of each
                              file "<file index> <content type> <file name or -> <hex
                              of the decoded content>"
  read_parts.py pst FILE      libpff: for each message "<subject> <attachment name>
                              <hex of its data>", one line per attachment
"""
import sys


def eml(paths):
    from email import policy
    from email.parser import BytesParser
    for i, path in enumerate(paths):
        with open(path, "rb") as f:
            msg = BytesParser(policy=policy.default).parse(f)
        for part in msg.walk():
            if part.is_multipart():
                continue
            data = part.get_payload(decode=True) or b""
            print(i, part.get_content_type(), part.get_filename() or "-", data.hex())


def name_of(attachment):
    names = {}
    for rs in attachment.record_sets:
        for e in rs.entries:
            if e.entry_type in (0x3707, 0x3704) and e.value_type in (0x1F, 0x1E):
                names[e.entry_type] = e.data_as_string
    return names.get(0x3707) or names.get(0x3704) or "-"


def pst(path):
    import pypff
    f = pypff.file()
    f.open(path)

    def walk(folder):
        for i in range(folder.number_of_sub_folders):
            walk(folder.get_sub_folder(i))
        for i in range(folder.number_of_sub_messages):
            m = folder.get_sub_message(i)
            for k in range(m.number_of_attachments):
                a = m.get_attachment(k)
                data = a.read_buffer(a.size) if a.size else b""
                print(m.subject or "-", name_of(a), data.hex())

    walk(f.get_root_folder())


if sys.argv[1] == "eml":
    eml(sys.argv[2:])
else:
    pst(sys.argv[2])
