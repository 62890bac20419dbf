// Reads a whole store with pst-extractor (the npm package as published, a port of
// java-libpst) and prints what it read, one line per folder, message, recipient
// and attachment, in the form tests/pst/pst_read.py prints libpff's reading:
//
// F <path> <messages>
// M <path> <subject> <body sha1> <attachments> [<size>:<sha1> | msg ...]
// R <path> <subject> <type> <name> <address>
//
// Any exception ends the walk with status 1. The caller bounds the run with a
// timeout: the package loops forever on some reads past the end of a node.
//
// Around the package's known faults:
// - an embedded message (attach method 5) comes back empty, so such an
//   attachment is listed as "msg" and not opened;
// - a read of a value stream asks for exactly the stream's length, never more;
// - getRecipient(i) parses the whole recipient table twice on every call (hours
//   for a few thousand recipients), so the table's rows are read once, through
//   the message's own table, and each made a PSTRecipient as getRecipient does.
'use strict';
const crypto = require('crypto');
const path = require('path');
const { PSTFile, PSTRecipient } = require(path.join(__dirname, 'node_modules', 'pst-extractor'));

const sha = (buf) => crypto.createHash('sha1').update(buf).digest('hex').slice(0, 12);
const clean = (s) => String(s === null || s === undefined ? '' : s).replace(/[\t\n]/g, ' ');

function attachmentToken(a) {
  if (a.attachMethod === 5) return 'msg';
  const stream = a.fileInputStream;
  if (!stream) return '0:' + sha(Buffer.alloc(0));
  const length = stream.length.toNumber();
  const data = Buffer.alloc(length);
  if (length > 0) stream.readCompletely(data);
  return length + ':' + sha(data);
}

function walk(file, folder, where, out) {
  for (const sub of folder.hasSubfolders ? folder.getSubFolders() : []) {
    const p = where + '/' + clean(sub.displayName);
    out.push(['F', p, sub.contentCount].join('\t'));
    walk(file, sub, p, out);
  }
  if (folder.contentCount <= 0) return;
  let read = 0;
  for (let m = folder.getNextChild(); m; m = folder.getNextChild()) {
    ++read;
    const body = Buffer.from(clean(m.body) === '' ? '' : m.body, 'utf8');
    const atts = [];
    for (let i = 0; i < m.numberOfAttachments; ++i) atts.push(attachmentToken(m.getAttachment(i)));
    out.push(['M', where, clean(m.subject), sha(body), m.numberOfAttachments, atts.join(' ')].join('\t'));
    const count = m.numberOfRecipients;
    const rows = count > 0 ? m.recipientTable.getItems() : [];
    if (rows.length !== count)
      throw new Error('"' + m.subject + '": ' + rows.length + ' recipient rows for ' + count);
    for (let i = 0; i < count; ++i) {
      const r = new PSTRecipient(file, rows[i]);
      out.push(['R', where, clean(m.subject), r.recipientType, clean(r.displayName),
                clean(r.emailAddress)].join('\t'));
    }
  }
  if (read !== folder.contentCount)
    throw new Error(where + ': ' + read + ' messages read, the folder counts ' + folder.contentCount);
}

try {
  const file = new PSTFile(process.argv[2]);
  const out = [];
  walk(file, file.getRootFolder(), '', out);
  process.stdout.write(out.join('\n') + '\n');
} catch (e) {
  process.stderr.write('pst-extractor: ' + (e && e.stack ? e.stack : e) + '\n');
  process.exit(1);
}
