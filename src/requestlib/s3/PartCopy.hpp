#pragma once

namespace quilo::detail {

class RequestRun;

// A copy: one CopyObject, or, for a source above the copy threshold, a multipart upload whose
// parts are copied from ranges of the source. The source's size decides, so it is read first.
class PartCopy {
  public:
    static void perform(RequestRun& run);
};

}  // namespace quilo::detail
