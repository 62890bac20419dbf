#!/usr/bin/env python3
"""Prints the MIME structure of an .eml file as Python's email package sees it.

One line per part, indented by depth: the content type, the decoded file name
when there is one, and for leaves the length of the decoded payload. Parser
defects are listed after the parts, one "defect:" line each.
"""
import email
import email.policy
import sys


def outline(part, depth, out, defects):
    line = "  " * depth + part.get_content_type()
    name = part.get_filename()
    if name is not None:
        line += " name=" + name
    defects.extend(type(d).__name__ for d in part.defects)
    if part.is_multipart():
        out.append(line)
        for child in part.iter_parts():
            outline(child, depth + 1, out, defects)
    else:
        payload = part.get_payload(decode=True)
        line += " len=%d" % (len(payload) if payload is not None else 0)
        out.append(line)


def main():
    with open(sys.argv[1], "rb") as f:
        msg = email.message_from_binary_file(f, policy=email.policy.default)
    out, defects = [], []
    outline(msg, 0, out, defects)
    sys.stdout.write("\n".join(out) + "\n")
    for d in defects:
        sys.stdout.write("defect: " + d + "\n")


main()
