// The checks of the input files, each opened as the supervisor opens it and judged on its
// descriptor by the supervisor's own file rules.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "check/directory_context.hpp"
#include "check/wording.hpp"
#include "children/file_rules.hpp"
#include "children/input_files.hpp"
#include "children/sealed_configuration.hpp"
#include "linux/read_lease.hpp"
#include "linux/untrusted_open.hpp"

namespace quillmere::check {

namespace {

const char* rule_name(FileRule rule) {
    switch (rule) {
    case FileRule::no_set_id: return "set-id";
    case FileRule::private_mode: return "mode";
    case FileRule::regular: return "type";
    case FileRule::non_empty: return "size";
    case FileRule::owner: return "owner";
    case FileRule::single_link: return "links";
    case FileRule::owner_execute: return "owner-execute";
    }
    return "rule";
}

std::string rule_sentence(FileRule rule, const struct stat& status, uid_t owner_uid, bool executable) {
    const std::string mode = mode_text(status.st_mode);
    switch (rule) {
    case FileRule::no_set_id:
        return "mode " + mode + " has the set-user-id or set-group-id bit; the supervisor wants neither";
    case FileRule::private_mode:
        return open_mode_text(status.st_mode,
                              executable ? private_mode_text(S_IRWXU)
                                         : private_mode_text(S_IRUSR | S_IWUSR) + " or " + private_mode_text(S_IRWXU));
    case FileRule::regular: return "is " + file_type_text(status.st_mode) + ", not a regular file";
    case FileRule::non_empty: return "is empty; the supervisor wants at least one byte";
    case FileRule::owner: return foreign_owner_text(status.st_uid, owner_uid);
    case FileRule::single_link:
        return "has " + std::to_string(status.st_nlink) +
               " hard links; the supervisor wants exactly one (copy the file in, do not hard-link it)";
    case FileRule::owner_execute:
        return "mode " + mode + " lacks the owner-execute bit, which every file the supervisor runs needs (" +
               private_mode_text(S_IRWXU) + ")";
    }
    return "breaks a file rule";
}

void check_capabilities(DirectoryContext& context, const std::string& name, int fd) {
    const int violation = file_capability_violation(fd);
    if (violation == 0) return;
    context.findings.add(name + "/capability", Verdict::refused,
                         violation == EPERM
                             ? name +
                                   ": carries file capabilities (security.capability); the supervisor runs no "
                                   "executable that does (a plain copy drops them)"
                             : name + ": its file system cannot say whether it carries file capabilities (" +
                                   errno_text(violation) + "), and the supervisor refuses what it cannot check");
}

// What the supervisor copies must fit the copy.
void check_copy_size(DirectoryContext& context, const std::string& name, const struct stat& status) {
    if (static_cast<unsigned long long>(status.st_size) > kSealedCopyMaxBytes) {
        context.findings.add(name + "/size-limit", Verdict::refused,
                             name + ": " + std::to_string(status.st_size) + " bytes, more than the " +
                                 std::to_string(kSealedCopyMaxBytes) + " the supervisor copies");
    }
}

// The supervisor judges every input file under a read lease, and takes none where somebody
// holds the file open for writing.
void check_writers(DirectoryContext& context, const std::string& name, int fd) {
    const Result<ReadLease> lease = ReadLease::take(fd);
    if (lease.has_value()) return;
    const int error = lease.error().os_errno;
    if (error == EAGAIN) {
        context.findings.add(name + "/writers", Verdict::refused,
                             name +
                                 ": some process holds it open for writing; the supervisor uses no file whose "
                                 "bytes could change after its checks");
    } else if (error == EACCES) {
        context.findings.add(name + "/writers", Verdict::unknown,
                             name + ": whether anybody holds it open for writing can be asked only by its owner");
    } else {
        context.findings.add(name + "/writers", Verdict::refused,
                             name + ": its file system takes no lease (" + errno_text(error) +
                                 "), so nobody can promise that it is not written to, and the supervisor refuses it");
    }
}

// Each rule `status` breaks, as a refusal of its own; false when it breaks none.
bool refuse_broken_rules(DirectoryContext& context, const std::string& name, const struct stat& status,
                         bool executable) {
    const FileRuleSet broken = broken_file_rules(status, context.owner_uid, executable);
    for (int i = 0; i < kFileRuleCount; ++i) {
        const auto rule = static_cast<FileRule>(i);
        if (broken.contains(rule))
            context.findings.add(name + "/" + rule_name(rule), Verdict::refused,
                                 name + ": " + rule_sentence(rule, status, context.owner_uid, executable));
    }
    return !broken.empty();
}

// A file this user may not open, which root may: its entry still shows owner, mode, type, size
// and links, and only what is asked of a descriptor stays unseen.
void judge_unopenable(DirectoryContext& context, const std::string& name, bool executable) {
    struct stat status {};
    if (::lstat(context.entry(name).c_str(), &status) != 0) {
        context.findings.add(name, Verdict::unknown,
                             name + ": cannot be opened (EACCES) nor examined: " + errno_text(errno));
        return;
    }
    if (refuse_broken_rules(context, name, status, executable)) return;
    context.findings.add(name, Verdict::unknown,
                         name +
                             ": cannot be opened by this user (EACCES); its owner, mode, type, size and links "
                             "meet the rules, but whether it is held open for writing" +
                             (executable ? std::string(" or carries file capabilities") : std::string()) +
                             " can be asked only through a descriptor, by a user who may read it");
}

}  // namespace

void check_lease_capability(DirectoryContext& context) {
    if (!context.examinable || context.owner_uid == 0 || lease_capability_bounded()) return;
    context.findings.add("launch/CAP_LEASE", Verdict::refused,
                         "launch: CAP_LEASE is missing from the capability bounding set, which the supervisor "
                         "inherits (as container runtimes set it by default): it cannot lease the input files of uid " +
                             std::to_string(context.owner_uid) +
                             " to make sure nobody writes to them, and refuses the first one; start it where the "
                             "bounding set keeps CAP_LEASE");
}

void check_input_file(DirectoryContext& context, std::string_view file_name, bool executable) {
    if (!context.examinable) return;
    const std::string name(file_name);
    const int found_before = static_cast<int>(context.findings.all().size());
    Result<UniqueFd> opened = open_untrusted(context.entry(name));
    if (!opened.has_value()) {
        const int error = opened.error().os_errno;
        const std::string form = context.form == SupervisorForm::run ? "a run" : "a recovery";
        if (error == ENOENT) {
            context.findings.add(name, Verdict::refused, name + ": missing; " + form + " needs it");
        } else if (error == ELOOP) {
            context.findings.add(name + "/type", Verdict::refused,
                                 name + ": is a symbolic link; the supervisor never follows one (copy the file in)");
        } else if (error == EACCES) {
            judge_unopenable(context, name, executable);
        } else {
            context.findings.add(name, Verdict::refused, name + ": cannot be opened: " + errno_text(error));
        }
        return;
    }
    struct stat status {};
    if (::fstat(opened->get(), &status) != 0) {
        context.findings.add(name, Verdict::refused, name + ": cannot be examined: " + errno_text(errno));
        return;
    }
    (void)refuse_broken_rules(context, name, status, executable);
    if (!S_ISREG(status.st_mode)) return;
    if (executable) check_capabilities(context, name, opened->get());
    if (file_name == kGuardScriptName || file_name == kCoreConfigurationName) check_copy_size(context, name, status);
    check_writers(context, name, opened->get());
    if (static_cast<int>(context.findings.all().size()) == found_before) {
        context.findings.add(name, Verdict::passed,
                             name + ": a regular file of " + std::to_string(status.st_size) + " bytes, mode " +
                                 mode_text(status.st_mode) + ", owned by uid " + std::to_string(status.st_uid) +
                                 ", one link" + (executable ? ", no file capabilities" : "") +
                                 ", not open for writing");
    }
}

}  // namespace quillmere::check
