#include "requestlib/PayloadSink.hpp"

#include "requestlib/Errors.hpp"

namespace quilo::detail {

PayloadSink::PayloadSink(std::unique_ptr<DownloadFile> file, std::size_t maxMemory, bool digest)
    : file_(std::move(file)), maxMemory_(maxMemory), digest_(digest) {}

std::optional<Error> PayloadSink::write(const char* data, std::size_t size, int status) {
    if (file_) {
        if (auto error = file_->write(data, size))
            return error;
    } else if (memory_.size() + size > maxMemory_) {
        return makeError(ErrorKind::response, Code::ResponseTooLarge,
                         "the answer is larger than " + std::to_string(maxMemory_) + " bytes",
                         status);
    } else {
        memory_.append(data, size);
    }
    if (digest_)
        md5_.update(data, size);
    size_ += size;
    return std::nullopt;
}

std::optional<Error> PayloadSink::restart() {
    if (file_) {
        if (auto error = file_->truncate())
            return error;
    }
    memory_.clear();
    md5_.reset();
    size_ = 0;
    return std::nullopt;
}

std::string PayloadSink::md5() {
    return digest_ ? md5_.hexDigest() : std::string();
}

}  // namespace quilo::detail
