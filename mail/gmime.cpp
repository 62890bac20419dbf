#include "mail/gmime.h"

#include <mutex>

namespace tp::convert {

void initGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

}  // namespace tp::convert
