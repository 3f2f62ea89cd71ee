// The package the block map target checks its block maps against: a fixed
// payload of a few files (one of several blocks, one empty) and its manifest.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "tools/packaging/PackageWriter.h"

namespace fuzz {

// Writes the package with `blockMap` as its AppxBlockMap.xml, or with the
// correct block map of that hash method when none is given.
void WriteBlockMapPackage(const std::filesystem::path& file, const std::optional<std::string>& blockMap,
                          packaging::HashMethod method = packaging::HashMethod::Sha256);

}  // namespace fuzz
