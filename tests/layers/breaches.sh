#!/usr/bin/env bash
# Builds small trees in a scratch folder and runs the layer check on each: a tree
# whose includes run downward passes, every kind of upward include fails.
# Usage: breaches.sh CHECK SCRATCH
set -euo pipefail
check=$1
scratch=$2
failures=0

tree() {  # tree NAME FILE LINE: a tree with one file holding one line
  local dir="$scratch/$1"
  rm -rf "$dir"
  mkdir -p "$dir/$(dirname "$2")"
  printf '%s\n' "$3" >"$dir/$2"
  echo "$dir"
}
expect() {  # expect pass|fail NAME FILE LINE
  local want=$1 dir
  dir=$(tree "$2" "$3" "$4")
  if bash "$check" "$dir" >/dev/null 2>&1; then got=pass; else got=fail; fi
  if [ "$got" != "$want" ]; then
    echo "breaches: $3 with '$4' should $want the check" >&2
    failures=$((failures + 1))
  fi
}

expect pass downward run/conversion_run.cpp '#include "finder/scanner.h"'
expect pass common run/run_types.cpp '#include "common/help_links.h"'
expect pass face app/window.cpp '#include "dialogs/dialogs.h"'
expect pass dialogs dialogs/box.cpp '#include "common/notice.h"'
expect pass qtcore finder/scan.cpp '#include <QString>'
expect fail engine-to-app run/run_types.cpp '#include "app/help_links.h"'
expect fail finder-to-dialogs finder/window.cpp '#include "dialogs/dialogs.h"'
expect fail pst-to-cli pst/x.h '#  include "cli/options.h"'
expect fail relative finder/x.cpp '#include "../app/main_window.h"'
expect fail dialogs-to-app dialogs/qt.cpp '#include "app/file_grid.h"'
expect fail common-to-engine common/notice.h '#include "run/run_types.h"'
expect fail widgets finder/window.h '#include <QWidget>'
expect fail widgets-module outputs/x.cpp '#include <QtWidgets/QLabel>'

# The platform layer io/ sits below everything but common/: the scanner and the
# store format use its file calls. The engine's rooms: mailbox < mail < mapi <
# run < outputs, all above finder/ and pst/ and below dialogs/.
expect pass finder-to-io finder/scanner.cpp '#include "io/file.h"'
expect pass pst-to-io pst/ndb/writer.cpp '#include "io/fault.h"'
expect fail io-to-finder io/io.cpp '#include "finder/scanner.h"'
expect fail io-to-pst io/io.cpp '#include "pst/ndb/writer.h"'
expect fail common-to-io common/notice.h '#include "io/io.h"'
# System headers and questions about the system stay in io/.
expect pass io-platform io/file_posix.cpp '#include <unistd.h>'
expect pass io-platform-if io/paths.cpp '#ifdef _WIN32'
expect fail finder-unistd finder/scanner.cpp '#include <unistd.h>'
expect fail pst-fcntl pst/ndb/writer.cpp '#include <fcntl.h>'
expect fail run-sys run/conversion_run.cpp '#include <sys/stat.h>'
expect fail cli-signal cli/main.cpp '#include <signal.h>'
expect fail cli-windows cli/main.cpp '#include <windows.h>'
expect fail outputs-win32-if outputs/pst_sink.cpp '#ifdef _WIN32'
expect fail app-platform-if app/folder_walk.cpp '#ifdef _WIN32'
expect fail mailbox-linux-if mailbox/boundaries.cpp '#if defined(__linux__)'
expect pass mapi-to-pst mapi/import.h '#include "pst/messaging/tags.h"'
expect pass run-to-mail run/conversion_run.cpp '#include "mail/mail_message.h"'
expect pass outputs-to-run outputs/eml_sink.h '#include "run/message_sink.h"'
expect pass cli-to-outputs cli/main.cpp '#include "outputs/pst_sink.h"'
expect fail pst-to-mapi pst/messaging/store.cpp '#include "mapi/import.h"'
expect fail io-to-mailbox io/io.cpp '#include "mailbox/boundaries.h"'
expect fail mailbox-to-mail mailbox/boundaries.cpp '#include "mail/mail_message.h"'
expect fail mail-to-mapi mail/mail_message.cpp '#include "mapi/import.h"'
expect fail mapi-to-run mapi/import.cpp '#include "run/run_types.h"'
expect fail run-to-outputs run/conversion_run.cpp '#include "outputs/eml_sink.h"'
expect fail outputs-to-dialogs outputs/pst_sink.cpp '#include "dialogs/dialogs.h"'
expect fail unknown-folder run/conversion_run.cpp '#include "convert/run_types.h"'

# Inside pst/: ndb < ltp < messaging (and pst.h) < check < tools.
expect pass pst-down pst/messaging/store.cpp '#include "pst/ltp/builders.h"'
expect pass pst-check pst/check/checker.cpp '#include "pst/messaging/tags.h"'
expect pass pst-face pst/messaging/values.h '#include "pst/pst.h"'
expect pass pst-tool pst/tools/pstcheck.cpp '#include "pst/check/checker.h"'
expect fail ndb-to-ltp pst/ndb/writer.cpp '#include "pst/ltp/builders.h"'
expect fail ltp-to-messaging pst/ltp/reader.h '#include "pst/messaging/tags.h"'
expect fail ndb-to-face pst/ndb/format.h '#include "pst/pst.h"'
expect fail messaging-to-check pst/messaging/store.cpp '#include "pst/check/findings.h"'
expect fail check-to-tools pst/check/checker.cpp '#include "pst/tools/options.h"'

# Every project header is named by its folder.
expect pass generated pst/tools/pstcheck.cpp '#include "tessaport/version.h"'
expect fail no-folder run/conversion_run.h '#include "run_types.h"'
expect fail no-folder-face app/main.cpp '#include "main_window.h"'
expect fail relative-sibling pst/ltp/reader.h '#include "../ndb/reader.h"'
expect fail relative-own io/x.cpp '#include "./io.h"'

rm -rf "$scratch"
if [ "$failures" -ne 0 ]; then exit 1; fi
echo "breaches: every kind caught"
