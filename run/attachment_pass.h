#pragma once
// The attachment pass. An attachment part that holds its content stays byte for
// byte. A part without content (the mailbox kept only its header, the file lay
// elsewhere) is removed; when the attachments option is ticked, the file of its
// name from the attachments folder is attached again, and the report names each
// one that could not be put back. A message in which nothing changes keeps its
// bytes exactly.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "run/conversion_run.h"

namespace tp::convert {

class AttachmentPass : public AttachmentStep {
  public:
    void apply(std::string& bytes, const RunOptions& options,
               std::vector<std::string>& problems) override;
    std::vector<std::string> takeRemarks() override { return std::move(remarks_); }

  private:
    std::vector<std::string> remarks_;
};

// Where the file of attachment `name` lies below `folder`: folder and name joined
// as a path, "/" and "\" both taken as separators. Empty, with `why` set, for a
// name that would leave the folder (absolute, a drive, "..", a NUL) or is empty.
std::optional<std::filesystem::path> attachmentFilePath(const std::string& folder,
                                                        const std::string& name, std::string& why);

std::unique_ptr<AttachmentStep> makeAttachmentPass();

}  // namespace tp::convert
