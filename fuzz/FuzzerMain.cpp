// libFuzzer's entry for one fuzz target, chosen by name when this file is
// compiled (APPDEPLOY_FUZZ_TARGET), so every target's executable shares it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz/targets/FuzzTargets.h"

#ifndef APPDEPLOY_FUZZ_TARGET
#error "APPDEPLOY_FUZZ_TARGET names the fuzz target this executable runs"
#endif

namespace {

const fuzz::Target& ThisTarget() {
    for (const fuzz::Target& target : fuzz::Targets()) {
        if (std::string_view(target.name) == APPDEPLOY_FUZZ_TARGET) {
            return target;
        }
    }
    std::abort();  // a name the table does not have: a build fault, not an input's
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fuzz::Target& target = ThisTarget();
    target.function(data, size);
    return 0;
}
