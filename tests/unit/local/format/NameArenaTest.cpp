// Names kept in an arena are read through views: those must stay valid as the
// arena grows, moves, and as the block map's files are copied or moved.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/deployment/local/format/BlockMap.h"
#include "platform/deployment/local/format/NameArena.h"

namespace platform::deployment::local {
namespace {

TEST(NameArenaTest, ViewsOutliveGrowthAndMoves) {
    std::vector<std::string> names;
    for (int i = 0; i < 5000; ++i) {
        // Short names across many chunks, with long ones (a chunk of their own) between them.
        names.push_back(i % 997 == 0 ? std::string(20000 + i, static_cast<char>('a' + i % 26))
                                     : "folder" + std::to_string(i % 50) + "/file" + std::to_string(i) + ".txt");
    }
    names.emplace_back();
    NameArena arena;
    std::vector<std::string_view> views;
    for (const std::string& name : names) {
        views.push_back(arena.Add(name));
    }
    const NameArena moved = std::move(arena);
    for (std::size_t i = 0; i < names.size(); ++i) {
        ASSERT_EQ(views[i], names[i]) << i;
    }
}

BlockMapFiles TwoFiles() {
    BlockMapFiles files;
    for (const std::string name : {"a.txt", "Assets/Deep/Big.bin"}) {
        BlockMapFile file;
        file.name = name;  // a view of a name that ends with this loop
        files.Add(std::move(file));
    }
    return files;
}

TEST(NameArenaTest, BlockMapFilesKeepTheirNamesWhenCopiedOrMoved) {
    BlockMapFiles copy;
    {
        const BlockMapFiles files = TwoFiles();
        copy = files;
    }
    BlockMapFiles moved;
    {
        BlockMapFiles files = TwoFiles();
        moved = std::move(files);
    }
    for (const BlockMapFiles* files : {&copy, &moved}) {
        ASSERT_EQ(files->size(), 2u);
        EXPECT_EQ((*files)[0].name, "a.txt");
        EXPECT_EQ((*files)[1].name, "Assets/Deep/Big.bin");
    }
}

}  // namespace
}  // namespace platform::deployment::local
