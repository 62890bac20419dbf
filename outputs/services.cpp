// The real writers behind a run: one line per output format and one for the
// attachment pass.
#include "outputs/eml_sink.h"
#include "outputs/mbox_sink.h"
#include "outputs/pst_sink.h"
#include "run/attachment_pass.h"
#include "run/conversion_run.h"

namespace tp::convert {

RunServices defaultServices() {
    RunServices services;
    services.makeSink = [](Format format) -> std::unique_ptr<MessageSink> {
        switch (format) {
            case Format::Eml:
                return makeEmlSink();
            case Format::Mbox:
                return makeMboxSink();
            case Format::Pst:
                return makePstSink();
        }
        return nullptr;
    };
    services.makeAttachmentStep = []() -> std::unique_ptr<AttachmentStep> {
        return makeAttachmentPass();
    };
    return services;
}

}  // namespace tp::convert
