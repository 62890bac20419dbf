// The real writers behind a run. One line per output format and one for the
// attachment pass; a format without a writer yet answers nullptr, and the run and
// the command line report that format as not available.
#include "convert/attachment_pass.h"
#include "convert/conversion_run.h"
#include "convert/eml_sink.h"
#include "convert/mbox_sink.h"
#ifdef TP_HAVE_PST
#include "convert/pst_sink.h"
#endif

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
#ifdef TP_HAVE_PST
                return makePstSink();
#else
                return nullptr;
#endif
        }
        return nullptr;
    };
    services.makeAttachmentStep = []() -> std::unique_ptr<AttachmentStep> {
        return makeAttachmentPass();
    };
    return services;
}

}  // namespace tp::convert
