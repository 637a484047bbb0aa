#pragma once

#include "Tree.hpp"

namespace quilo::cli {

class LocalDirectory;

// sync --checksum: for a path that both sides hold at the same size, whether the local file's
// bytes are those the object's ETag names, set as the local entry's sameContent. A plain ETag is
// the MD5 of the bytes; a multipart one ("<md5 of the parts' MD5s>-<parts>") is computed again
// from the file for each part size in common use that gives that many parts. Where neither can
// tell (no part size fits, or the file cannot be read), the entry stays unknown and its path is
// named on stderr: it is compared by size and time.
void compareContent(const LocalDirectory& root, const std::string& path, TreeFile& local,
                    const TreeFile& remote);

}  // namespace quilo::cli
