#pragma once
// One RFC 822 message, parsed with GMime, that can report its date, sender and
// attachments, lose its attachments and gain files as attachments, and be saved.
//
// Bytes are kept as they came: a message that did not change is written back
// byte for byte, and removing attachments cuts only those parts' byte ranges.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tp::convert {

class MailMessage {
  public:
    MailMessage();
    ~MailMessage();
    MailMessage(const MailMessage&) = delete;
    MailMessage& operator=(const MailMessage&) = delete;

    bool LoadFromFile(const std::filesystem::path& path);
    bool LoadFromBytes(std::string_view bytes);
    bool SaveToFile(const std::filesystem::path& path) const;
    // The message as now held.
    std::string bytes() const;
    bool changed() const;

    // The Date header; empty when missing or unreadable.
    std::optional<std::chrono::system_clock::time_point> MessageDate() const;
    // The date of the first Received header; empty when none is readable.
    std::optional<std::chrono::system_clock::time_point> FirstReceivedDate() const;
    // The bare address of the first From mailbox; empty when there is none.
    std::string Sender() const;
    // The Subject header as one line of UTF-8 (encoded words decoded); empty when
    // there is none.
    std::string Subject() const;

    int AttachmentCount() const;
    // UTF-8 file name of attachment i (0-based), RFC 2047 / 2231 decoded.
    std::string AttachmentName(int index) const;
    // Whether attachment i's body holds anything (more than blank lines).
    bool AttachmentHasContent(int index) const;
    void RemoveAllAttachments();
    // Removes the attachments whose entry in `which` is true (by index, as
    // AttachmentName counts them); the others stay byte for byte. Once only: the
    // indices refer to the message as loaded.
    void RemoveAttachments(const std::vector<bool>& which);
    // Adds `data` as one more attachment named `name` (or puts it back into the
    // place of a removed inline part of that name).
    void AttachData(const std::string& name, const std::string& data);
    // Adds the file as one more attachment named like the file. Returns empty text on
    // success, otherwise the reason it failed.
    std::string AttachFile(const std::filesystem::path& path);

    // Cheap test on raw message bytes: false means the message certainly has no
    // attachment part, so loading and changing it would change nothing.
    static bool MayHaveAttachments(std::string_view message);
    // The message's header block (up to and including the empty line that ends it).
    static std::string_view HeaderBlock(std::string_view message);

  private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

}  // namespace tp::convert
