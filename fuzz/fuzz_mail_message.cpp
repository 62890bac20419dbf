// libFuzzer entry: see fuzz/targets.h.
#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tp::fuzz::mailMessage(data, size);
    return 0;
}
