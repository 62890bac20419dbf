"""Lists the messages of every folder of a store as libpff (pypff) reads them,
one JSON object a line: folder, the message's properties by id (strings as
text, numbers, booleans, binaries as their length and hex), its plain and HTML
bodies, and its attachments with their properties, their data as text and in hex
(the first 4096 bytes)."""
import json
import sys

import pypff

def props(item):
    out = {}
    for rs in item.record_sets:
        for e in rs.entries:
            key = "%04x" % e.entry_type
            vt = e.value_type
            try:
                if vt in (0x1F, 0x1E):
                    out[key] = e.data_as_string
                elif vt in (0x03, 0x02):
                    out[key] = e.data_as_integer
                elif vt == 0x0B:
                    out[key] = bool(e.data_as_boolean)
                elif vt == 0x40:
                    out[key] = "time %d" % int.from_bytes(e.data or b"", "little")
                else:
                    data = e.data or b""
                    out[key] = {"len": len(data), "hex": data[:64].hex()}
            except Exception as ex:  # a value libpff cannot read is a finding too
                out[key] = "unreadable: %s" % ex
    return out


def text(b):
    return (b or b"").rstrip(b"\0").decode("utf-8", "replace")


def walk(folder, path, out):
    for i in range(folder.number_of_sub_folders):
        sub = folder.get_sub_folder(i)
        walk(sub, path + "/" + (sub.name or ""), out)
    for i in range(folder.number_of_sub_messages):
        m = folder.get_sub_message(i)
        atts = []
        for k in range(m.number_of_attachments):
            a = m.get_attachment(k)
            entry = {"props": props(a), "size": a.size or 0, "hex": ""}
            try:
                data = a.read_buffer(min(a.size, 4096)) if a.size else b""
                entry["data"], entry["hex"] = text(data), data.hex()
            except Exception:
                entry["data"] = "<embedded>"
            atts.append(entry)
        out.append({"folder": path, "props": props(m), "body": text(m.plain_text_body),
                    "html": text(m.html_body), "attachments": atts})


f = pypff.file()
f.open(sys.argv[1])
items = []
walk(f.get_root_folder(), "", items)
for item in items:
    print(json.dumps(item, ensure_ascii=False))
