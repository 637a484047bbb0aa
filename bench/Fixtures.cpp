#include "Fixtures.hpp"

#include <openssl/evp.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

namespace bench {

namespace fs = std::filesystem;

namespace {

void fillRandom(std::vector<std::uint64_t>& words, std::mt19937_64& random) {
    for (auto& word : words) {
        word = random();
    }
}

std::string sha256Hex(const void* data, std::size_t size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    char pair[3];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

}  // namespace

void makeFile(const std::string& path, std::uint64_t bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::mt19937_64 random(42);
    std::vector<std::uint64_t> block(1 << 17);
    for (std::uint64_t written = 0; written < bytes;) {
        fillRandom(block, random);
        const auto chunk = std::min<std::uint64_t>(bytes - written, block.size() * 8);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(chunk));
        written += chunk;
    }
}

std::vector<TreeFile> makeTree(const std::string& root, int files, std::uint64_t bytes) {
    std::vector<TreeFile> tree;
    std::mt19937_64 random(7);
    std::vector<std::uint64_t> content((bytes + 7) / 8);
    char name[32];
    for (int i = 0; i < files; ++i) {
        std::snprintf(name, sizeof name, "d%03d/f%05d.bin", i / 100, i);
        const fs::path path = fs::path(root) / name;
        fs::create_directories(path.parent_path());
        fillRandom(content, random);
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(content.data()),
                   static_cast<std::streamsize>(bytes));
        tree.push_back({name, sha256Hex(content.data(), bytes)});
    }
    return tree;
}

TreeSize measureTree(const std::string& root) {
    TreeSize size;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_regular_file(error)) {
            ++size.files;
            size.bytes += it->file_size(error);
        }
    }
    return size;
}

std::uint64_t fileSize(const std::string& path) {
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? 0 : size;
}

void removeAll(const std::string& path) {
    std::error_code error;
    fs::remove_all(path, error);
}

}  // namespace bench
