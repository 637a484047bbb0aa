#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace quilo::detail {

// The unit of bulk file work: large, so that a file moves in few system calls, and aligned, since
// the kernel copies from the page cache three times slower into memory whose address differs
// from the file offset modulo 64 (measured on AMD EPYC, whose rep movsb the copy uses).
inline constexpr std::size_t kBlockBytes = 1u << 20;
inline constexpr std::size_t kCopyAlignment = 64;

struct BlockDeleter {
    void operator()(char* bytes) const {
        ::operator delete[](bytes, std::align_val_t(kCopyAlignment));
    }
};
using Block = std::unique_ptr<char[], BlockDeleter>;

// Null when there is no memory for it: it is made on threads that must not throw.
inline Block makeBlock() {
    return Block(new (std::align_val_t(kCopyAlignment), std::nothrow) char[kBlockBytes]);
}

// How many bytes to read at `offset` into `buffer` so that the reads after it copy in step.
inline std::size_t stepIntoAlignment(const char* buffer, std::uint64_t offset) {
    return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(buffer) - offset) %
                                    kCopyAlignment);
}

}  // namespace quilo::detail
