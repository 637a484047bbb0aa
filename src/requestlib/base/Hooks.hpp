#pragma once

#include <exception>
#include <string>
#include <utility>

namespace quilo::detail {

// Calls a hook, if set, shielding the network thread from whatever it throws.
template <class Hook, class... Args>
void callHook(const Hook& hook, Args&&... args) noexcept {
    if (!hook)
        return;
    try {
        hook(std::forward<Args>(args)...);
    } catch (...) {
    }
}

// What the exception being handled says about itself.
inline std::string currentExceptionText() {
    try {
        throw;
    } catch (const std::exception& exception) {
        return exception.what();
    } catch (...) {
        return "an exception that is not a std::exception";
    }
}

}  // namespace quilo::detail
