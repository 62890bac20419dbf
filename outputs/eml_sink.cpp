#include "outputs/eml_sink.h"

#include "io/io.h"
#include "io/paths.h"

namespace tp::convert {

bool EmlSink::store(const MailboxInfo& mailbox, const MessageInfo& message, std::string_view bytes,
                    RunObserver& /*observer*/, std::string& error) {
    const std::error_code ec =
        mailbox.folder ? mailbox.folder->writeFile(io::utf8Of(message.emlPath.filename()), bytes)
                       : io::writeFile(message.emlPath, bytes);
    lastError_ = ec;
    if (ec) {
        error = io::describe(ec);
        return false;
    }
    return true;
}

std::unique_ptr<MessageSink> makeEmlSink() {
    return std::make_unique<EmlSink>();
}

}  // namespace tp::convert
