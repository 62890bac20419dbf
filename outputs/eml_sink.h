#pragma once
// The EML output: every message becomes Email-k.eml in its mailbox output folder.
#include <memory>
#include <string>

#include "run/message_sink.h"

namespace tp::convert {

class EmlSink : public MessageSink {
  public:
    // Writes the message's bytes as its Email-k.eml, replacing a file of that name.
    bool store(const MailboxInfo& mailbox, const MessageInfo& message, std::string_view bytes,
               RunObserver& observer, std::string& error) override;
    std::error_code lastWriteError() const override { return lastError_; }

  private:
    std::error_code lastError_;
};

std::unique_ptr<MessageSink> makeEmlSink();

}  // namespace tp::convert
