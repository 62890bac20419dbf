// Whole runs with names beyond ASCII, dates before 1970 and attachments typed by
// their names, read back by real readers.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "run/run_helpers.h"

namespace tp::test {
namespace {

const std::string kFigures = "Monat;Ausgaben\r\nM\xC3\xA4rz;455,10\r\n";

// Files put back from the attachments folder are typed by extension from our own
// table, the same on every system (case aside; unknown ones as plain bytes).
const std::vector<std::pair<std::string, std::string>> kTyped = {
    {"Notes.MSG", "application/vnd.ms-outlook"},
    {"scan.PDF", "application/pdf"},
    {"budget.xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {"photos.7z", "application/x-7z-compressed"},
    {"invite.ics", "text/calendar"},
    {"README", "application/octet-stream"},
    {"data.qqq", "application/octet-stream"}};

// A message whose attachments the mailbox kept only as headers: the run fills them
// from the attachments folder, found by their names (one in UTF-8).
std::string figuresMessage() {
    std::string message =
        "From: Ann <ann@example.org>\r\nTo: bob@example.net\r\nSubject: figures\r\n"
        "Date: Tue, 5 May 2009 08:00:00 +0200\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
        "--b\r\nContent-Type: text/plain\r\n\r\nThe figures.\r\n"
        "--b\r\nContent-Type: text/csv; name*=UTF-8''%C3%9Cbersicht.csv\r\n"
        "Content-Disposition: attachment; filename*=UTF-8''%C3%9Cbersicht.csv\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n\r\n";
    for (const auto& [name, type] : kTyped)
        message += "--b\r\nContent-Type: application/octet-stream; name=\"" + name +
                   "\"\r\nContent-Disposition: attachment; filename=\"" + name +
                   "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n\r\n";
    return message + "--b--\r\n\r\n";
}

std::string moonMessage() {
    return "From: Neil <neil@example.org>\r\nTo: houston@example.net\r\nSubject: one small step\r\n"
           "Date: Mon, 21 Jul 1969 02:56:15 +0000\r\nMIME-Version: 1.0\r\n"
           "Content-Type: text/plain\r\n\r\nThe Eagle has landed.\r\n\r\n";
}

std::string python(const std::string& args) {
    return output("/usr/bin/python3 " + args + " 2>&1");
}

class WideNames : public ::testing::Test {
  protected:
    void SetUp() override {
        writeBytes(mailbox, figuresMessage() + moonMessage());
        writeBytes(dir.path() / "Anh\xC3\xA4nge" /
                       "\xC3\x9C"
                       "bersicht.csv",
                   kFigures);
        for (const auto& [name, type] : kTyped)
            writeBytes(dir.path() / "Anh\xC3\xA4nge" / name, "bytes of " + name);
    }
    // Converts into the output folder; the folder that holds the mailbox's files.
    fs::path run(const std::string& format) {
        const Result r = convert(dir.path(), {"--format", format, "--output", out.string(),
                                              "--attachments", "Anh\xC3\xA4nge", mailbox.string()});
        EXPECT_EQ(r.code, 0) << format << ": " << r.err;
        EXPECT_TRUE(has(r.out, "Output:     " + out.string() + "\n"));
        EXPECT_FALSE(has(r.out, "Report:")) << "a run with nothing to report names no report";
        return out / mailbox.relative_path();
    }

    ScratchDir dir;
    const fs::path mailbox = dir.path() /
                             "Postf\xC3\xA4"
                             "cher" /
                             "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.imm";
    const fs::path out = dir.path() / "Ausgabe \xE5\x87\xBA\xE5\x8A\x9B";
};

// Names beyond ASCII (mailbox, attachment, folders) reach every output, with the
// bytes; a message of 1969 keeps its date, in the MBOX "From " line and as the
// store's submit and delivery times.
TEST_F(WideNames, NamesBeyondAsciiAndDatesBefore1970ReachEveryOutput) {
    const std::string attachment =
        "\xC3\x9C"
        "bersicht.csv " +
        hex(kFigures);
    const std::string readParts = quote(TP_SOURCE_DIR "/tests/attachments/read_parts.py");

    const fs::path eml = run("eml") / "Email-1.eml";
    const std::string emlParts = python(readParts + " eml " + quote(eml.string()));
    EXPECT_TRUE(has(emlParts, "0 text/csv " + attachment));
    for (const auto& [name, type] : kTyped)
        EXPECT_TRUE(has(emlParts, "0 " + type + " " + name + " " + hex("bytes of " + name)));

    const fs::path mbox = run("mbox") / "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.mbox";
    const std::string parts = python(
        "-c 'import mailbox,sys\n"
        "for m in mailbox.mbox(sys.argv[1]):\n"
        "  for p in m.walk():\n"
        "    if p.get_filename(): print(p.get_filename(), p.get_payload(decode=True).hex())' " +
        quote(mbox.string()));
    EXPECT_TRUE(has(parts, attachment + "\n"));
    EXPECT_TRUE(has(readBytes(mbox), "\r\nFrom neil@example.org Mon Jul 21 02:56:15 1969\r\n"));

    run("pst");
    fs::path pst;
    for (const auto& e : fs::directory_iterator(out))
        if (e.path().extension() == ".pst") pst = e.path();
    ASSERT_FALSE(pst.empty());
    EXPECT_TRUE(has(python(readParts + " pst " + quote(pst.string())), "figures " + attachment));
    // The mailbox's folder in the store is named after it.
    const std::string folders =
        python(quote(TP_SOURCE_DIR "/tests/pst/pst_read.py") + " " + quote(pst.string()) + " 0");
    EXPECT_TRUE(has(folders, "/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\t"));
    const std::string times = python(
        "-c 'import pypff,sys\n"
        "f = pypff.file(); f.open(sys.argv[1])\n"
        "def walk(d):\n"
        "  for i in range(d.number_of_sub_folders): walk(d.get_sub_folder(i))\n"
        "  for i in range(d.number_of_sub_messages):\n"
        "    m = d.get_sub_message(i)\n"
        "    if m.subject == \"one small step\": print(m.client_submit_time, m.delivery_time)\n"
        "walk(f.get_root_folder())' " +
        quote(pst.string()));
    EXPECT_EQ(times, "1969-07-21 02:56:15 1969-07-21 02:56:15\n");
}

}  // namespace
}  // namespace tp::test
