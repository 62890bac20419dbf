#!/usr/bin/env python3
"""Writes the sample mailboxes and their attachments folder.

The .imm files are what IncrediMail kept: RFC 822 messages one after another,
CR LF line ends, nothing between them. All people, addresses and texts are made
up. Run it again to rebuild the files byte for byte (python3 samples/make_samples.py).
"""
import base64
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ATTACHMENTS = os.path.join(HERE, "Attachments")


def crlf(text):
    """Turns a text written with \\n into CR LF lines (bytes, UTF-8 where needed)."""
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")


def b64(data):
    raw = base64.b64encode(data).decode("ascii")
    return "\n".join(raw[i:i + 76] for i in range(0, len(raw), 76))


def png_2x2():
    """A tiny valid PNG: 2 x 2 pixels, green and blue."""
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    rows = b"\x00" + bytes([40, 160, 60, 40, 160, 60]) + b"\x00" + bytes([30, 80, 200, 30, 80, 200])
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 2, 2, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def minimal_pdf():
    """A one-page PDF that says a line of text."""
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 144] /Contents 4 0 R "
        b"/Resources << /Font << /F1 5 0 R >> >> >>",
        None,
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    ]
    stream = b"BT /F1 14 Tf 20 70 Td (Apple crumble: 4 apples, 100 g oats) Tj ET"
    objects[3] = b"<< /Length %d >>\nstream\n" % len(stream) + stream + b"\nendstream"
    out = b"%PDF-1.4\n"
    offsets = []
    for i, body in enumerate(objects, start=1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % i + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % o for o in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    return out


FILES = {
    "garden.png": png_2x2(),
    "minutes.txt": crlf("Minutes of the garden club, 12 March 2009\n\n"
                        "1. Seed swap moves to the first Saturday in April.\n"
                        "2. Mary brings the ladder back.\n"
                        "3. Next meeting: 9 April, 7 pm, at the community hall.\n"),
    "recipe.pdf": minimal_pdf(),
    "Übersicht.csv": crlf("Monat;Ausgaben;Einnahmen\nJanuar;412,50;980,00\n"
                          "Februar;388,20;980,00\nMärz;455,10;1020,00\n"),
}


def part(name, content_type):
    data = FILES[name]
    ascii_name = name.encode("ascii", "ignore").decode() == name
    if ascii_name:
        disp = 'attachment; filename="%s"' % name
        ctype = '%s; name="%s"' % (content_type, name)
    else:
        quoted = "".join(c if c.isalnum() and ord(c) < 128 or c in ".-_" else
                         "".join("%%%02X" % b for b in c.encode("utf-8")) for c in name)
        disp = "attachment;\n filename*=UTF-8''%s" % quoted
        ctype = "%s;\n name*=UTF-8''%s" % (content_type, quoted)
    return ("Content-Type: %s\nContent-Transfer-Encoding: base64\nContent-Disposition: %s\n\n%s\n"
            % (ctype, disp, b64(data)))


def received(host, when):
    return ("Received: from %s (%s [192.0.2.17])\n\tby mx1.example.net (Postfix) with ESMTP\n"
            "\tfor <ann.miller@example.net>; %s\n" % (host, host, when))


INBOX = [
    # A plain letter from a friend.
    received("mail.example.org", "Mon, 2 Mar 2009 18:04:11 +0100") +
    """From: "Linda Park" <linda.park@example.org>
To: "Ann Miller" <ann.miller@example.net>
Subject: Saturday?
Date: Mon, 2 Mar 2009 18:04:07 +0100
Message-ID: <20090302170407.4411@mail.example.org>
MIME-Version: 1.0
Content-Type: text/plain; charset="us-ascii"
Content-Transfer-Encoding: 7bit
X-Mailer: IncrediMail (5610720)

Hi Ann,

are we still on for Saturday? I can pick you up at ten.
The weather should be fine.

Linda

""",
    # Text and HTML alternatives, a UTF-8 subject.
    received("smtp.example.de", "Wed, 4 Mar 2009 07:45:30 +0100") +
    """From: =?UTF-8?Q?J=C3=BCrgen_Wei=C3=9F?= <juergen@example.de>
To: ann.miller@example.net
Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe_aus_M=C3=BCnchen?=
Date: Wed, 4 Mar 2009 07:45:12 +0100
Message-ID: <49AE2318.1020304@example.de>
MIME-Version: 1.0
Content-Type: multipart/alternative;
 boundary="----=_NextPart_000_0012_01C99C8A.5E2B1F40"

This is a multi-part message in MIME format.

------=_NextPart_000_0012_01C99C8A.5E2B1F40
Content-Type: text/plain; charset="utf-8"
Content-Transfer-Encoding: quoted-printable

Liebe Ann,

viele Gr=C3=BC=C3=9Fe aus M=C3=BCnchen! Der Schnee ist endlich weg.

J=C3=BCrgen

------=_NextPart_000_0012_01C99C8A.5E2B1F40
Content-Type: text/html; charset="utf-8"
Content-Transfer-Encoding: quoted-printable

<html><body><p>Liebe Ann,</p>
<p>viele <b>Gr=C3=BC=C3=9Fe</b> aus M=C3=BCnchen! Der Schnee ist endlich weg.</p>
<p>J=C3=BCrgen</p></body></html>

------=_NextPart_000_0012_01C99C8A.5E2B1F40--

""",
    # Two attachments whose files lie in the attachments folder.
    received("mail.example.com", "Thu, 12 Mar 2009 21:10:02 +0100") +
    """From: Garden Club <club@example.com>
To: ann.miller@example.net
Subject: Minutes and a photo
Date: Thu, 12 Mar 2009 21:09:55 +0100
Message-ID: <club-2009-03-12@example.com>
MIME-Version: 1.0
Content-Type: multipart/mixed; boundary="=_mixed 0041A2C3C1257574_="

--=_mixed 0041A2C3C1257574_=
Content-Type: text/plain; charset="iso-8859-1"
Content-Transfer-Encoding: 7bit

Dear members,

the minutes of tonight's meeting are attached, with a photo of the new beds.

Regards, Tom

--=_mixed 0041A2C3C1257574_=
""" + part("minutes.txt", "text/plain") + """
--=_mixed 0041A2C3C1257574_=
""" + part("garden.png", "image/png") + """
--=_mixed 0041A2C3C1257574_=--

""",
    # A forwarded message: its own MIME-Version line lies inside this one.
    received("mail.example.org", "Fri, 13 Mar 2009 09:15:44 +0100") +
    """From: "Linda Park" <linda.park@example.org>
To: "Ann Miller" <ann.miller@example.net>
Subject: Fwd: Bus times
Date: Fri, 13 Mar 2009 09:15:40 +0100
MIME-Version: 1.0
Content-Type: multipart/mixed; boundary="fwd-7b1c"

--fwd-7b1c
Content-Type: text/plain; charset="us-ascii"

See below, the 8:40 is gone.

--fwd-7b1c
Content-Type: message/rfc822

From: Transit Info <info@transit.example>
To: linda.park@example.org
Subject: Bus times from 16 March
Date: Thu, 12 Mar 2009 16:00:00 +0100
MIME-Version: 1.0
Content-Type: text/plain; charset="us-ascii"

From 16 March line 12 leaves at 8:25 and 8:55.

--fwd-7b1c--

""",
    # A reply with quoted headers and a signature whose lines look like fields.
    received("mail.example.com", "Mon, 16 Mar 2009 08:02:51 +0100") +
    """From: Tom Baker <tom.baker@example.com>
To: ann.miller@example.net
Subject: Re: Minutes and a photo
Date: Mon, 16 Mar 2009 08:02:47 +0100
In-Reply-To: <club-2009-03-12@example.com>
MIME-Version: 1.0
Content-Type: text/plain; charset="us-ascii"

Thanks Ann, I will bring the seeds.

> From: Ann Miller
> Subject: Re: Minutes and a photo
> MIME-Version: 1.0 is not something we talk about at the club.

Tom Baker
Tel: +1 555 0100
Web: garden.example.com
""",
    # Latin-1 subject, a PDF and a file with a non-ASCII name.
    received("post.example.at", "Sun, 15 Mar 2009 11:30:19 +0100") +
    """From: Martina Huber <m.huber@example.at>
To: ann.miller@example.net
Subject: =?ISO-8859-1?B?Q2Fm6SBhbmQgY3J1bWJsZQ==?=
Date: Sun, 15 Mar 2009 11:30:02 +0100
MIME-Version: 1.0
Content-Type: multipart/mixed; boundary="b1_5e8c3a"

--b1_5e8c3a
Content-Type: text/plain; charset="ISO-8859-1"
Content-Transfer-Encoding: quoted-printable

Hallo Ann, hier das Rezept und die =DCbersicht f=FCr das erste Quartal.

--b1_5e8c3a
""" + part("recipe.pdf", "application/pdf") + """
--b1_5e8c3a
""" + part("Übersicht.csv", "text/csv") + """
--b1_5e8c3a--
""",
]

SENT = [
    """From: "Ann Miller" <ann.miller@example.net>
To: "Linda Park" <linda.park@example.org>
Subject: Re: Saturday?
Date: Mon, 2 Mar 2009 19:20:00 +0100
MIME-Version: 1.0
Content-Type: text/html; charset="us-ascii"
X-Mailer: IncrediMail (5610720)

<html><body><p>Ten is perfect. See you then!</p><p>Ann</p></body></html>

""",
    """From: "Ann Miller" <ann.miller@example.net>
To: club@example.com
Subject: The minutes again, with the
 corrections from last week, for everyone who asked after the meeting
Date: Tue, 17 Mar 2009 20:00:00 +0100
MIME-Version: 1.0
Content-Type: multipart/mixed; boundary="sent-0001"

--sent-0001
Content-Type: text/plain; charset="us-ascii"

Corrected minutes attached.

--sent-0001
""" + part("minutes.txt", "text/plain") + """
--sent-0001--

""",
    """From: "Ann Miller" <ann.miller@example.net>
To: =?UTF-8?Q?J=C3=BCrgen_Wei=C3=9F?= <juergen@example.de>
Subject: =?UTF-8?B?RGFua2Ug8J+Mtw==?=
Date: Wed, 18 Mar 2009 07:30:00 +0100
MIME-Version: 1.0
Content-Type: text/plain; charset="utf-8"
Content-Transfer-Encoding: 8bit

Danke, Jürgen! Hier blühen schon die ersten Krokusse.

""",
]


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def main():
    os.makedirs(ATTACHMENTS, exist_ok=True)
    for name, data in FILES.items():
        write(os.path.join(ATTACHMENTS, name), data)
    write(os.path.join(HERE, "Inbox.imm"), b"".join(crlf(m) for m in INBOX))
    write(os.path.join(HERE, "Sent.imm"), b"".join(crlf(m) for m in SENT))
    # A mailbox IncrediMail left empty: the converter says so and goes on.
    write(os.path.join(HERE, "Trash.imm"), b"")
    print("samples written to", HERE)


if __name__ == "__main__":
    main()
