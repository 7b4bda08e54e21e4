#pragma once

#include <unistd.h>

#include "linux/error.hpp"

namespace quillmere {

// The privileged forms run only as effective uid 0. Asked only after the session has loaded,
// so an unprivileged caller learns nothing about the directory it named.
[[nodiscard]] inline Result<void> require_root() {
    if (::geteuid() != 0) return fail(kSessionValidationFailed);
    return {};
}

}  // namespace quillmere
