#include "main/end_marker.hpp"

#include "children/state_files.hpp"
#include "main/documents.hpp"

namespace quillmere {

Result<void> write_end_marker(const Session& session, bool cleanup_succeeded) {
    if (!cleanup_succeeded) {
        TRY(write_state_file(session.state_dir, kCleanupErrorFile, {}));
        return fail(Error::with_text(ErrorKind::other, "guard clean-up did not succeed"));
    }
    const std::string document = TRY(completion_document(session.state_dir));
    return write_state_file(session.state_dir, kDoneFile, document);
}

}  // namespace quillmere
