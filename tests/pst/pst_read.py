"""Lists a store as libpff sees it: one line per folder and per message.

F <path> <messages>
M <path> <subject> <body sha1> <attachments> [<size>:<sha1> ...]

An optional second argument N reads only every N-th message of each folder
(0: folders only).
"""
import hashlib
import sys

import pypff


def sha(data):
    return hashlib.sha1(data or b"").hexdigest()[:12]


STEP = int(sys.argv[2]) if len(sys.argv) > 2 else 1  # read every STEP-th message


def walk(folder, path, out):
    for i in range(folder.number_of_sub_folders):
        sub = folder.get_sub_folder(i)
        p = path + "/" + (sub.name or "")
        out.append("F\t%s\t%d" % (p, sub.number_of_sub_messages))
        walk(sub, p, out)
    for i in range(0, folder.number_of_sub_messages if STEP else 0, STEP or 1):
        m = folder.get_sub_message(i)
        body = m.plain_text_body or b""
        atts = []
        for k in range(m.number_of_attachments):
            a = m.get_attachment(k)
            data = a.read_buffer(a.size) if a.size else b""
            atts.append("%d:%s" % (a.size or 0, sha(data)))
        out.append("M\t%s\t%s\t%s\t%d\t%s" % (path, m.subject or "", sha(body.rstrip(b"\0")),
                                            m.number_of_attachments, " ".join(atts)))


f = pypff.file()
f.open(sys.argv[1])
lines = []
walk(f.get_root_folder(), "", lines)
sys.stdout.write("\n".join(lines) + "\n")
