// Writes a package's payload files in package order, verifying every block and
// file as it goes.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/deployment/local/extract/BlockPipeline.h"
#include "platform/deployment/local/extract/ExtractPackage.h"
#include "platform/deployment/local/extract/ExtractionFolder.h"

namespace platform::deployment::local {

// On every core where the blocks can be inflated apart, otherwise, and from
// the first file that fails that way, as one stream per file, which decides
// how the package is refused. With `reuse`, blocks are read where its plan
// says, and a file that fails is redone from the package alone.
void ExtractPayload(const PackageArchive& package, HashMethod method, const std::vector<PayloadFile>& payload,
                    ExtractionFolder& folder, const ExtractOptions& options, std::uint64_t total,
                    std::optional<ParallelBlockPipeline::Reuse> reuse);

}  // namespace platform::deployment::local
