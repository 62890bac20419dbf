// Whole runs of tessaport-convert over a mailbox whose messages hold some of their
// attachments and lack others (IncrediMail kept those files beside the mailbox):
// what is in the mailbox comes out, what is not comes back from the attachments
// folder or is named in the report, and untouched messages keep their bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "io/paths.h"
#include "run/run_helpers.h"

namespace tp::test {
namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// The patch as stored (the line break before the next delimiter belongs to it),
// and as Python's email package gives a text part (LF line ends).
const std::string kPatch = "--- a/x\r\n+++ b/x\r\n@@ -1 +1 @@\r\n-old\r\n+new";
const std::string kPatchRead = "--- a/x\n+++ b/x\n@@ -1 +1 @@\n-old\n+new";

// A patch held in the message, and two attachments of which the mailbox kept
// only the header.
std::string mixedMessage() {
    return "From: Ann <ann@example.org>\r\nTo: bob@example.net\r\nSubject: patch and photo\r\n"
           "Date: Tue, 5 May 2009 08:00:00 +0200\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"mix\"\r\n\r\n"
           "--mix\r\nContent-Type: text/plain\r\n\r\nThe patch and the photo.\r\n"
           "--mix\r\nContent-Type: text/x-diff; name=\"fix.diff\"\r\n"
           "Content-Disposition: attachment; filename=\"fix.diff\"\r\n"
           "Content-Transfer-Encoding: 7bit\r\n\r\n" +
           kPatch +
           "\r\n--mix\r\nContent-Type: image/jpeg; name=\"photo.jpg\"\r\n"
           "Content-Disposition: attachment; filename=\"photo.jpg\"\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\n\r\n"
           "--mix\r\nContent-Type: application/msword; name=\"gone.doc\"\r\n"
           "Content-Disposition: attachment; filename=\"gone.doc\"\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\n\r\n"
           "--mix--\r\n\r\n";
}

class AttachmentRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // A really signed message, made by OpenSSL with a throw-away key.
        const fs::path key = dir.path() / "k.pem", cert = dir.path() / "c.pem";
        const fs::path body = dir.path() / "body.txt";
        writeBytes(body, "Content-Type: text/plain\r\n\r\nSigned words.\r\n");
        int rc = -1;
        output("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=ann -keyout " +
                   quote(key.string()) + " -out " + quote(cert.string()) + " 2>/dev/null",
               &rc);
        ASSERT_EQ(rc, 0) << "openssl is needed";
        signedMessage = output(
            "openssl smime -sign -crlfeol -from ann@example.org -to bob@example.net "
            "-subject signed -in " +
            quote(body.string()) + " -signer " + quote(cert.string()) + " -inkey " +
            quote(key.string()));
        ASSERT_NE(signedMessage.find("smime.p7s"), std::string::npos);
        signedMessage += "\r\n";
        plainMessage = textMessage("plain");
        writeBytes(mailbox, mixedMessage() + signedMessage + plainMessage);
        writeBytes(folder / "photo.jpg", std::string("\xFF\xD8\xFF-photo", 9));
    }

    int convert(const std::vector<std::string>& args) {
        std::vector<std::string> all = args;
        all.push_back(mailbox.string());
        return runProgram(dir.path(), TP_CLI, all).code;
    }
    fs::path eml(int k) const {
        return convert::mailboxOutputFolder(out, mailbox.string()) /
               ("Email-" + std::to_string(k) + ".eml");
    }
    // The leaf parts of the .eml files as Python's email package reads them.
    std::vector<std::string> parts(int k) const {
        return lines(output("/usr/bin/python3 " +
                            quote(TP_SOURCE_DIR "/tests/attachments/read_parts.py") + " eml " +
                            quote(eml(k).string())));
    }
    // Untouched messages come out byte for byte, and the signature still verifies.
    void expectUntouched() {
        EXPECT_EQ(readBytes(eml(2)), signedMessage + "\r\n");
        EXPECT_EQ(readBytes(eml(3)), plainMessage + "\r\n");
        int rc = -1;
        output("openssl smime -verify -noverify -out /dev/null -in " + quote(eml(2).string()) +
                   " 2>/dev/null",
               &rc);
        EXPECT_EQ(rc, 0) << "the signature no longer verifies";
    }

    ScratchDir dir;
    fs::path mailbox = dir.path() / "in" / "Inbox.imm";
    fs::path folder = dir.path() / "Attachments";
    fs::path out = dir.path() / "out";
    std::string signedMessage, plainMessage;
};

// What the mailbox holds stays: the patch, though the folder has a file of its
// name (it may be another message's). Without the folder the parts without
// content go and the report names each with the reason; with it, its files fill
// them and the report names the file it lacks.
TEST_F(AttachmentRunTest, WhatTheMailboxHoldsStaysAndTheFolderFillsTheRest) {
    writeBytes(folder / "fix.diff", "the newer patch");
    const std::vector<std::string> held = {"0 text/plain - " + hex("The patch and the photo."),
                                           "0 text/x-diff fix.diff " + hex(kPatchRead)};
    ASSERT_EQ(convert({"--format", "eml", "--output", out.string()}), 0);
    EXPECT_EQ(parts(1), held);
    expectUntouched();
    std::string report = readBytes(out / "Tessaport-report.txt");
    for (const char* name : {"photo.jpg", "gone.doc"}) {
        EXPECT_TRUE(has(report, std::string("(Email-1.eml): attachment \"") + name +
                                    "\" could not be put back: no attachments folder given"));
    }

    out = dir.path() / "with-folder";
    ASSERT_EQ(
        convert({"--format", "eml", "--output", out.string(), "--attachments", folder.string()}),
        0);
    std::vector<std::string> filled = held;
    filled.push_back("0 image/jpeg photo.jpg " + hex(std::string("\xFF\xD8\xFF-photo", 9)));
    EXPECT_EQ(parts(1), filled);
    expectUntouched();
    report = readBytes(out / "Tessaport-report.txt");
    EXPECT_TRUE(has(report,
                    "(Email-1.eml): attachment \"gone.doc\" could not be put back: "
                    "not in the attachments folder"));
    EXPECT_FALSE(has(report, "photo.jpg"));
}

// The store holds the signed message as Outlook stores one, its signed entity as
// the attachment (read back with libpff), and the signature still verifies on it.
// (That attachments the mailbox holds reach the store is checked in
// pst_readback_test.)
TEST_F(AttachmentRunTest, TheStoreKeepsTheSignedEntityWhole) {
    ASSERT_EQ(convert({"--format", "pst", "--output", out.string()}), 0);
    fs::path pst;
    for (const auto& e : fs::directory_iterator(out))
        if (e.path().extension() == ".pst") pst = e.path();
    const std::string lead = "signed smime.p7m ";
    std::string entity;
    for (const std::string& line : lines(
             output("/usr/bin/python3 " + quote(TP_SOURCE_DIR "/tests/attachments/read_parts.py") +
                    " pst " + quote(pst.string())))) {
        for (std::size_t i = lead.size(); line.rfind(lead, 0) == 0 && i + 1 < line.size(); i += 2)
            entity += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
    }
    ASSERT_FALSE(entity.empty());
    writeBytes(dir.path() / "entity.eml", entity);
    int rc = -1;
    output("openssl smime -verify -noverify -out /dev/null -in " +
               quote((dir.path() / "entity.eml").string()) + " 2>/dev/null",
           &rc);
    EXPECT_EQ(rc, 0) << entity;
}

}  // namespace
}  // namespace tp::test
