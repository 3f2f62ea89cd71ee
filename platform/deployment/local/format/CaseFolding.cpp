#include "platform/deployment/local/format/CaseFolding.h"

#include <algorithm>

#include "platform/Utf8.h"
#include "platform/deployment/local/format/CaseFoldingTable.h"

namespace platform::deployment::local {

char32_t FoldCase(char32_t codePoint) {
    using case_folding::kRuns;
    // The last run that starts at or before the code point.
    const auto after = std::upper_bound(kRuns.begin(), kRuns.end(), codePoint,
                                        [](char32_t c, const case_folding::Run& run) { return c < run.first; });
    if (after == kRuns.begin()) {
        return codePoint;
    }
    const case_folding::Run& run = *(after - 1);
    const char32_t offset = codePoint - run.first;
    if (offset >= static_cast<char32_t>(run.length) * run.stride || offset % run.stride != 0) {
        return codePoint;
    }
    return static_cast<char32_t>(static_cast<std::int64_t>(codePoint) + run.delta);
}

std::string FoldCase(std::string_view text) {
    std::string folded;
    folded.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t start = pos;
        if (const auto c = NextCodePoint(text, pos)) {
            AppendUtf8(folded, FoldCase(*c));
        } else {
            folded += text[start];
        }
    }
    return folded;
}

}  // namespace platform::deployment::local
