// The files a run moves: large random files and trees of small ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Random bytes, the same for a given size in every run.
void makeFile(const std::string& path, std::uint64_t bytes);

struct TreeFile {
    std::string path;    // relative to the tree's root, with '/'
    std::string sha256;  // hex, for the signed PUTs of the ceiling row
};

// `files` files of `bytes` each, a hundred to a directory, each with bytes of its own.
std::vector<TreeFile> makeTree(const std::string& root, int files, std::uint64_t bytes);

struct TreeSize {
    std::uint64_t files = 0, bytes = 0;
    bool operator==(const TreeSize&) const = default;
};
TreeSize measureTree(const std::string& root);

std::uint64_t fileSize(const std::string& path);  // 0 when absent

void removeAll(const std::string& path);

}  // namespace bench
