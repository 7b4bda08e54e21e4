#pragma once

namespace quillmere {

// Makes the process safe to run whatever state its launcher left it in: no interval timer
// armed, SIGPIPE, SIGXFSZ and SIGXCPU ignored (a vanished reader, a file size limit or a soft
// CPU limit is an error value or nothing, never a death), descriptors 0 to 2 open (on /dev/null if
// they were closed, so nothing later lands in a file that happens to get those numbers), and
// every other inherited descriptor close-on-exec, so that no child receives one of them.
// False when a closed standard descriptor cannot be refilled: then a later file or socket
// could take its number and receive output meant for the parent, so nothing may run. False
// as well when the stack limit is too small for the deepest form to finish.
[[nodiscard]] bool prepare_process() noexcept;

}  // namespace quillmere
