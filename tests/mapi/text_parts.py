"""Prints, one a line, the words (four letters or more) of every text part that
Python's email package finds in the message file given, read leniently: a part
whose structure cannot be read counts as text, a transfer encoding that cannot be
undone leaves the text as written."""
import email
import email.policy
import re
import sys

with open(sys.argv[1], "rb") as f:
    msg = email.message_from_binary_file(f, policy=email.policy.compat32)
words = []
for part in msg.walk():
    if part.is_multipart():
        continue
    if part.get_content_maintype() not in ("text", "multipart"):
        continue
    payload = part.get_payload(decode=True)
    if payload is None:
        continue
    words += re.findall(rb"(?<![A-Za-z0-9])[A-Za-z]{4,}(?![A-Za-z0-9])", payload)
sys.stdout.write("\n".join(w.decode("ascii") for w in words) + "\n")
