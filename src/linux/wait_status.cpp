#include "linux/wait_status.hpp"

#include <sys/wait.h>

namespace quillmere {

Result<int> wait_status_from(int code, int status) noexcept {
    switch (code) {
    case CLD_EXITED: return status << 8;
    case CLD_KILLED: return status & 0x7f;
    case CLD_DUMPED: return (status | 0x80) & 0xff;
    default: return fail(Error::with_text(ErrorKind::invalid_data, "unknown child exit status"));
    }
}

}  // namespace quillmere
