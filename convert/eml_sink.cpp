#include "convert/eml_sink.h"

#include "convert/io.h"

namespace tp::convert {

bool EmlSink::store(const MailboxInfo& mailbox, const MessageInfo& message, std::string_view bytes,
                    RunObserver& /*observer*/, std::string& error) {
    const std::error_code ec =
        mailbox.folder ? mailbox.folder->writeFile(message.emlPath.filename().string(), bytes)
                       : io::writeFile(message.emlPath, bytes);
    lastError_ = ec;
    if (ec) {
        error = io::describe(ec);
        return false;
    }
    return true;
}

void applyEmlContentRule(std::string& bytes) {
    const auto first = bytes.find_first_not_of(' ');
    if (first == std::string::npos) {
        bytes.clear();
    } else {
        bytes.erase(bytes.find_last_not_of(' ') + 1);
        bytes.erase(0, first);
    }
    bytes += "\r\n";
}

std::unique_ptr<MessageSink> makeEmlSink() {
    return std::make_unique<EmlSink>();
}

}  // namespace tp::convert
