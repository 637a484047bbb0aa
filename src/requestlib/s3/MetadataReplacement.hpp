#pragma once

namespace quilo::detail {

class RequestRun;

// Replaces an object's metadata by copying the object onto itself. A copy gets a fresh
// (private) access-control list, so the object's list is read first and its grants go with the
// copy; if that read fails, or a grant cannot be written as a header, nothing is copied.
class MetadataReplacement {
  public:
    static void perform(RequestRun& run);
};

}  // namespace quilo::detail
