// The checks of the session itself: the argument, the directory, the session file, the
// canonical path and the parent's socket, each judged by the supervisor's own rules.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>

#include "check/directory_context.hpp"
#include "check/unix_listeners.hpp"
#include "check/wording.hpp"
#include "children/state_files.hpp"
#include "linux/path.hpp"
#include "session/parent_link.hpp"
#include "session/session.hpp"
#include "session/session_decoder.hpp"
#include "session/session_name.hpp"
#include "session/session_rules.hpp"

namespace quillmere::check {

namespace {

constexpr const char* kArgument = "argument";
constexpr const char* kDirectory = "directory";
constexpr const char* kCanonical = "canonical-path";

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.append(1, '"').append(text).append(1, '"');
    return out;
}

// Unreadable for this user is a question left open, not a refusal: the supervisor runs as root.
Verdict verdict_of_error(int errnum) { return errnum == EACCES ? Verdict::unknown : Verdict::refused; }

std::string owner_sentence(std::string_view name, uid_t found, uid_t owner) {
    return std::string(name) + ": " + foreign_owner_text(found, owner);
}

std::string private_sentence(std::string_view name, mode_t mode, std::string_view wanted) {
    return std::string(name) + ": " + open_mode_text(mode, wanted);
}

std::string name_sentence(std::string_view name, NameProblem problem) {
    const std::string prefix = "the name " + quoted(name);
    switch (problem) {
    case NameProblem::not_utf8: return prefix + " is not valid UTF-8";
    case NameProblem::no_prefix: return prefix + " does not begin with " + quoted(kSessionNamePrefix);
    case NameProblem::empty_suffix:
        return prefix + " has nothing after " + quoted(kSessionNamePrefix) + "; 1 to " +
               std::to_string(kSessionNameMaxSuffixBytes) + " ASCII letters or digits must follow";
    case NameProblem::long_suffix:
        return prefix + " has " + std::to_string(name.size() - kSessionNamePrefix.size()) + " bytes after " +
               quoted(kSessionNamePrefix) + "; at most " + std::to_string(kSessionNameMaxSuffixBytes) + " may follow";
    case NameProblem::suffix_character:
        return prefix + " holds a byte other than an ASCII letter or digit after " + quoted(kSessionNamePrefix) +
               " (a dash, an underscore, a dot, or a letter outside ASCII)";
    }
    return prefix + " is not a state directory name";
}

std::string refusal_sentence(const SessionDocumentRefusal& refusal) {
    const std::string at = std::to_string(refusal.position);
    switch (refusal.problem) {
    case SessionDocumentProblem::too_large: {
        std::string sentence = "more than the ";
        sentence += std::to_string(kSessionFileMaxBytes);
        sentence += " bytes a session file may hold";
        return sentence;
    }
    case SessionDocumentProblem::byte_order_mark:
        return "begins with a UTF-8 byte-order mark; the supervisor reads JSON without one";
    case SessionDocumentProblem::nul_byte: return "holds a NUL byte at byte " + at;
    case SessionDocumentProblem::syntax:
        return "is not one JSON document (a syntax error near byte " + at +
               ", a comment, a trailing comma, or text after the document)";
    case SessionDocumentProblem::not_a_session_document: {
        std::string sentence =
            "is JSON, but neither an object nor an array; it must read "
            "{\"format\":1,\"parent_nonce\":\"<";
        sentence += std::to_string(kNonceLength);
        sentence += " lower-case hex>\"}";
        return sentence;
    }
    case SessionDocumentProblem::wrong_type:
        return "holds a value of the wrong type: \"format\" is a number, \"parent_nonce\" a string, nothing nested";
    case SessionDocumentProblem::unknown_key: return "has a key other than \"format\" and \"parent_nonce\"";
    case SessionDocumentProblem::duplicate_key: return "gives a key twice";
    case SessionDocumentProblem::missing_key: return "lacks \"format\" or \"parent_nonce\"";
    case SessionDocumentProblem::element_count:
        return "is an array of other than two elements; the array form is [1,\"<nonce>\"]";
    case SessionDocumentProblem::format_range:
        return "has a \"format\" that is not a whole number from 0 to 4294967295 (no sign, fraction or exponent)";
    case SessionDocumentProblem::unsupported_format:
        return "has a \"format\" other than 1, the only one the supervisor reads";
    case SessionDocumentProblem::nonce_length:
        return "has a nonce of " + at + " characters; it must have " + std::to_string(kNonceLength);
    case SessionDocumentProblem::nonce_character:
        return "has a nonce whose character at index " + at +
               " is not one of 0-9 and a-f (upper-case letters are refused)";
    }
    return "is not a session document";
}

// lstat, which never follows the entry itself.
Result<struct stat> lstat_entry(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return fail_last_os_error();
    return status;
}

// The lstat of an entry the parent must have made; a finding of its own when it cannot be had.
std::optional<struct stat> examine_entry(DirectoryContext& context, const std::string& name, const std::string& path,
                                         const char* when_missing) {
    const Result<struct stat> status = lstat_entry(path);
    if (status.has_value()) return *status;
    const int error = status.error().os_errno;
    context.findings.add(name, verdict_of_error(error),
                         name + ": " + (error == ENOENT ? when_missing : "cannot be examined: " + errno_text(error)));
    return std::nullopt;
}

}  // namespace

std::string DirectoryContext::entry(std::string_view name) const { return join_path(canonical, name); }

void check_argument(DirectoryContext& context) {
    const std::string& argument = context.argument;
    const std::optional<ArgumentProblem> problem = directory_argument_problem(argument);
    const std::optional<std::string_view> name = last_path_component(argument);
    context.directory = std::string(state_directory_path(argument));
    context.canonical = context.directory;
    if (!problem.has_value()) {
        context.findings.add(kArgument, Verdict::passed,
                             "argument: " + quoted(argument) +
                                 " is an absolute path that ends in the state directory name " + quoted(*name));
        return;
    }
    switch (*problem) {
    case ArgumentProblem::not_absolute:
        context.findings.add(kArgument, Verdict::refused,
                             "argument: " + quoted(argument) +
                                 " is not an absolute path; the supervisor takes only paths that begin with \"/\"");
        // The rest can still be judged relative to here, as the parent will have meant it.
        if (name.has_value()) {
            if (const auto name_problem = session_name_problem(*name))
                context.findings.add("argument/name", Verdict::refused,
                                     "argument: " + name_sentence(*name, *name_problem));
        }
        return;
    case ArgumentProblem::nul_byte:
        context.findings.add(kArgument, Verdict::refused, "argument: holds a NUL byte");
        return;
    case ArgumentProblem::no_name:
        context.findings.add(kArgument, Verdict::refused,
                             "argument: " + quoted(argument) +
                                 " names no directory by its own name (it is the root, or ends in \"..\")");
        context.directory.clear();
        return;
    case ArgumentProblem::bad_name:
        context.findings.add(
            "argument/name", Verdict::refused,
            "argument: " + name_sentence(*name, session_name_problem(*name).value_or(NameProblem::no_prefix)));
        return;
    }
}

void check_directory(DirectoryContext& context) {
    if (context.directory.empty()) return;
    const std::optional<struct stat> status = examine_entry(
        context, kDirectory, context.directory, "missing; the parent makes it before it starts the supervisor");
    if (!status.has_value()) return;
    context.owner_uid = status->st_uid;
    const std::optional<DirectoryProblem> problem = state_directory_problem(*status);
    if (problem == DirectoryProblem::not_directory) {
        context.findings.add("directory/type", Verdict::refused,
                             "directory: " + context.directory + " is " + file_type_text(status->st_mode) +
                                 ", not a directory; the supervisor never follows a symbolic link there");
        return;
    }
    if (problem == DirectoryProblem::not_private) {
        context.findings.add("directory/mode", Verdict::refused,
                             private_sentence("directory", status->st_mode, private_mode_text(S_IRWXU)));
    } else {
        context.findings.add(
            kDirectory, Verdict::passed,
            "directory: owned by uid " + std::to_string(status->st_uid) + ", mode " + mode_text(status->st_mode));
    }
    context.identity = identity_of(*status);
    context.examinable = true;
    const uid_t self = ::geteuid();
    if (self != 0 && self != context.owner_uid)
        context.findings.add("checker", Verdict::note,
                             "checker: runs as uid " + std::to_string(self) + ", not as the directory's owner uid " +
                                 std::to_string(context.owner_uid) +
                                 "; what this user may not read is reported as unknown");
}

void check_session_file(DirectoryContext& context) {
    if (!context.examinable) return;
    const std::string name(kSessionFileName);
    const std::string path = join_path(context.directory, name);
    const std::optional<struct stat> status =
        examine_entry(context, name, path, "missing; the parent writes it before it starts the supervisor");
    if (!status.has_value()) return;
    if (const auto problem = session_file_problem(*status, context.owner_uid)) {
        switch (*problem) {
        case SessionFileProblem::not_regular:
            context.findings.add(name + "/type", Verdict::refused,
                                 name + ": is " + file_type_text(status->st_mode) + ", not a regular file");
            return;
        case SessionFileProblem::too_large:
            context.findings.add(name + "/size", Verdict::refused,
                                 name + ": " + std::to_string(status->st_size) + " bytes, more than the " +
                                     std::to_string(kSessionFileMaxBytes) + " a session file may hold");
            return;
        case SessionFileProblem::foreign_owner:
            context.findings.add(name + "/owner", Verdict::refused,
                                 owner_sentence(name, status->st_uid, context.owner_uid));
            break;
        case SessionFileProblem::not_private:
            context.findings.add(name + "/mode", Verdict::refused,
                                 private_sentence(name, status->st_mode, private_mode_text(S_IRUSR | S_IWUSR)));
            break;
        }
    }
    Result<UniqueFd> file = open_session_file(path);
    if (!file.has_value()) {
        context.findings.add(name, verdict_of_error(file.error().os_errno),
                             name + ": cannot be opened: " + errno_text(file.error().os_errno));
        return;
    }
    const Result<std::string> content = read_session_file(*file);
    if (!content.has_value()) {
        context.findings.add(name, Verdict::refused,
                             name + ": cannot be read: " + errno_text(content.error().os_errno));
        return;
    }
    const auto nonce = judge_session_document(*content);
    if (!nonce.has_value()) {
        context.findings.add(name + "/document", Verdict::refused, name + ": " + refusal_sentence(nonce.error()));
        return;
    }
    context.findings.add(name, Verdict::passed,
                         name + ": format 1 with a " + std::to_string(kNonceLength) + "-character nonce");
}

void check_canonical_path(DirectoryContext& context) {
    if (!context.examinable) return;
    const Result<std::string> canonical = canonical_path(context.directory);
    if (!canonical.has_value()) {
        context.findings.add(kCanonical, Verdict::refused,
                             "canonical path: cannot be resolved: " + errno_text(canonical.error().os_errno));
        return;
    }
    // A directory open to others is refused once, where it was first examined; here only
    // whether the path leads back to it counts.
    const Result<struct stat> reached = lstat_entry(*canonical);
    if (!reached.has_value() || !has_identity(*reached, context.identity) ||
        state_directory_problem(*reached) == DirectoryProblem::not_directory) {
        context.findings.add(
            kCanonical, Verdict::refused,
            "canonical path: " + *canonical + " does not lead to the directory examined (it was replaced meanwhile?)");
        return;
    }
    context.canonical = *canonical;
    context.findings.add(kCanonical, Verdict::passed,
                         "canonical path: " + *canonical + "; the supervisor and its children use this one");
}

void check_parent_socket(DirectoryContext& context) {
    if (!context.examinable) return;
    const std::string name(kParentSocketName);
    const std::string path = context.entry(name);
    if (socket_path_problem(path) == SocketPathProblem::too_long) {
        context.findings.add(name + "/path", Verdict::refused,
                             name + ": its path " + path + " is " + std::to_string(path.size()) +
                                 " bytes; a Unix socket address holds at most " + std::to_string(kSocketPathRoom - 1) +
                                 " (make the state directory where the path is shorter, such as $XDG_RUNTIME_DIR)");
    }
    const std::optional<struct stat> status =
        examine_entry(context, name, path, "missing; for a run the parent binds and listens on it first");
    if (!status.has_value()) return;
    const std::optional<SocketProblem> problem = socket_file_problem(*status, context.owner_uid);
    if (problem == SocketProblem::not_socket) {
        context.findings.add(name + "/type", Verdict::refused,
                             name + ": is " + file_type_text(status->st_mode) + ", not a socket");
        return;
    }
    if (problem == SocketProblem::not_private)
        context.findings.add(
            name + "/mode", Verdict::refused,
            private_sentence(name, status->st_mode,
                             private_mode_text(S_IRUSR | S_IWUSR) + ": a umask of " +
                                 mode_text(kGroupOtherModeBits).substr(1) + " at bind, or a chmod after"));
    if (problem == SocketProblem::foreign_owner)
        context.findings.add(name + "/owner", Verdict::refused,
                             owner_sentence(name, status->st_uid, context.owner_uid));
    // Once the run is past the handshake the parent may have closed it, as it may.
    if (!context.judges_listener()) {
        context.findings.add(name, Verdict::passed, name + ": a socket with mode " + mode_text(status->st_mode));
        return;
    }
    const SocketFileIdentity file{status->st_dev, status->st_ino, superblock_device_of(path)};
    const Result<Listening> listening = is_listening_socket_file(file);
    if (!listening.has_value()) {
        context.findings.add(
            name + "/listening", Verdict::unknown,
            name + ": whether anybody listens on it cannot be told: " + errno_text(listening.error().os_errno));
    } else if (*listening == Listening::uncertain) {
        context.findings.add(name + "/listening", Verdict::unknown,
                             name +
                                 ": whether anybody listens on it cannot be told: a listener has its inode number, "
                                 "but the kernel names the file system by a device that cannot be matched to it");
    } else if (*listening == Listening::no && context.moment == DirectoryMoment::after_run) {
        // A parent may close its socket once the run is over: judged once the rest is known.
        context.listener_gone = true;
    } else if (*listening == Listening::no) {
        context.findings.add(name + "/listening", Verdict::refused,
                             name +
                                 ": nobody listens on it (bound but never listened on, or left by a parent that "
                                 "has gone); the supervisor's connect would be refused");
    } else {
        context.findings.add(name, Verdict::passed,
                             name + ": a socket with mode " + mode_text(status->st_mode) + ", listening");
    }
}

void judge_gone_listener(DirectoryContext& context) {
    if (!context.listener_gone) return;
    const std::string name(kParentSocketName);
    // The run wrote no pid file of its own, so it ended at the handshake or before it: at
    // whatever of that was refused above, or else at a connect that nobody took.
    const bool explained = std::ranges::any_of(context.findings.all(), [](const Finding& finding) {
        if (finding.verdict != Verdict::refused) return false;
        const std::string_view entry = std::string_view(finding.check).substr(0, finding.check.find('/'));
        return entry == kArgument || entry == kDirectory || entry == kSessionFileName || entry == kCanonical ||
               entry == kParentSocketName || entry == kHelperPidFile || entry == kRecoveryPidFile;
    });
    if (explained) {
        context.findings.add(name + "/listening", Verdict::note,
                             name + ": nobody listens on it now; the parent may have closed it after the run");
        return;
    }
    context.findings.add(name + "/listening", Verdict::refused,
                         name +
                             ": nobody listens on it, and nothing else here ended the run before its pid file: the "
                             "supervisor's connect was refused (bound but never listened on, or closed too early)");
}

}  // namespace quillmere::check
