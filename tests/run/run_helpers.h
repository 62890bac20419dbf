#pragma once
// Shared pieces of the run tests: a scratch folder, generated messages and
// mailboxes, an observer that records everything, and a GMime reader.
#include <fcntl.h>
#include <gmime/gmime.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "run/conversion_run.h"

namespace tp::test {

namespace fs = std::filesystem;

class ScratchDir {
  public:
    ScratchDir() {
        std::string tmpl = (fs::temp_directory_path() / "tp-run-XXXXXX").string();
        path_ = mkdtemp(tmpl.data());
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

inline void writeBytes(const fs::path& p, const std::string& bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string readBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A plain text message with CR LF line ends and a blank line at its end.
inline std::string textMessage(const std::string& subject, const std::string& body = "Hello.") {
    return "Received: from mail.example.org by mx.example.net; Mon, 4 May 2009 10:00:00 +0200\r\n"
           "From: Ann Example <ann@example.org>\r\n"
           "To: bob@example.net\r\n"
           "Subject: " +
           subject +
           "\r\n"
           "Date: Mon, 4 May 2009 10:00:00 +0200\r\n"
           "MIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=us-ascii\r\n"
           "\r\n" +
           body + "\r\n\r\n";
}

struct Event {
    enum Kind { Text, Value, Range } kind;
    convert::Control control;
    std::string text;
    double value = 0;
};

class RecordingObserver : public convert::RunObserver {
  public:
    void textChanged(convert::Control c, const std::string& text) override {
        events.push_back({Event::Text, c, text, 0});
        texts[c] = text;
        if (onText) onText(c, text);
    }
    void valueChanged(convert::Control c, double value) override {
        events.push_back({Event::Value, c, {}, value});
        values[c] = value;
        if (onValue) onValue(c, value);
    }
    void rangeChanged(convert::Control c, int, int) override {
        events.push_back({Event::Range, c, {}, 0});
    }
    void notice(const Notice& n) override { notices.push_back(n); }

    std::vector<std::string> textsOf(convert::Control c) const {
        std::vector<std::string> out;
        for (const Event& e : events)
            if (e.kind == Event::Text && e.control == c) out.push_back(e.text);
        return out;
    }
    std::vector<double> valuesOf(convert::Control c) const {
        std::vector<double> out;
        for (const Event& e : events)
            if (e.kind == Event::Value && e.control == c) out.push_back(e.value);
        return out;
    }

    std::vector<Event> events;
    std::map<convert::Control, std::string> texts;
    std::map<convert::Control, double> values;
    std::vector<Notice> notices;
    std::function<void(convert::Control, const std::string&)> onText;
    std::function<void(convert::Control, double)> onValue;
};

// The subject of an .eml file as GMime reads it (decoded to UTF-8); "<unreadable>"
// when GMime cannot parse a message from it.
inline std::string gmimeSubject(const fs::path& eml) {
    static const bool initialised = [] {
        g_mime_init();
        return true;
    }();
    (void)initialised;
    GError* err = nullptr;
    GMimeStream* stream = g_mime_stream_fs_open(eml.c_str(), O_RDONLY, 0, &err);
    if (stream == nullptr) {
        if (err) g_error_free(err);
        return "<unreadable>";
    }
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
    std::string subject = "<unreadable>";
    if (message != nullptr) {
        const char* s = g_mime_message_get_subject(message);
        subject = s ? s : "";
        g_object_unref(message);
    }
    g_object_unref(parser);
    g_object_unref(stream);
    return subject;
}

}  // namespace tp::test
