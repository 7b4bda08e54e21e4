#pragma once
// The parent application's side of a session directory: it creates "quillmere-vpn-<suffix>",
// writes the session file with a fresh nonce, places the input files, asks for a stop with the
// marker, and reads back what the supervisor left. Every entry it makes belongs to one owner
// and has no group or other permission bits, because the supervisor refuses anything else.

#include <sys/types.h>

#include <string>
#include <string_view>

#include "linux/error.hpp"
#include "linux/unique_fd.hpp"

namespace quillmere::reference {

// The user that owns the directory and everything in it. A real parent is that user and owns
// its files without further ado; a parent running as root (tests, demo) hands them over.
struct Owner {
    uid_t uid = 0;
    gid_t gid = 0;

    // The effective user and group of this process.
    [[nodiscard]] static Owner current() noexcept;
    // `uid` with its primary group from the user database, or the same number as group when
    // the user is unknown (as 65534 may be in a container).
    [[nodiscard]] static Owner of_uid(uid_t uid);
};

// Makes this process `owner` for good, as an application is: no supplementary groups, then the
// group, then the user, each step while the privilege it needs is still there. Needs root.
[[nodiscard]] Result<void> become(Owner owner);

// Gives the entry `name` of the directory `dir` (never following a link) to `owner`, unless it
// is theirs already: a parent that runs as the session owner never calls chown.
[[nodiscard]] Result<void> give_entry_to(int dir, std::string_view name, Owner owner);

// The nonce of a fresh session: 64 lower-case hexadecimal characters from getrandom.
[[nodiscard]] Result<std::string> fresh_nonce();

// The session document the supervisor accepts, with its final line feed.
[[nodiscard]] std::string session_document(std::string_view nonce);

class StateDirectory {
public:
    // Makes `base_dir`/quillmere-vpn-`suffix` (mode 0700, owned by `owner`) and writes
    // "supervisor.json" (mode 0600) with a fresh nonce. `base_dir` must exist; the name must
    // not. The suffix is not checked, so that tests can offer the supervisor bad names.
    [[nodiscard]] static Result<StateDirectory> create(std::string_view base_dir, std::string_view suffix, Owner owner);

    StateDirectory(StateDirectory&& other) noexcept;
    StateDirectory& operator=(StateDirectory&&) noexcept = delete;
    // Removes the directory and everything in it, unless keep() was called: clearing the
    // directory is the parent's business, never the supervisor's.
    ~StateDirectory();

    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    [[nodiscard]] const std::string& nonce() const noexcept { return nonce_; }
    [[nodiscard]] Owner owner() const noexcept { return owner_; }
    [[nodiscard]] int fd() const noexcept { return dir_.get(); }
    [[nodiscard]] std::string entry_path(std::string_view name) const;
    void keep() noexcept { keep_ = true; }

    // Creates (or replaces) `name` with `bytes`, then sets `mode` exactly; owned by the owner.
    [[nodiscard]] Result<void> write_file(std::string_view name, std::string_view bytes, mode_t mode) const;
    // Copies the program at `source` into `name` (mode 0700 unless told otherwise).
    [[nodiscard]] Result<void> copy_program(std::string_view name, const std::string& source, mode_t mode = 0700) const;

    // Creates the stop marker, an empty regular file "stop". Fails with EEXIST if something
    // already has that name.
    [[nodiscard]] Result<void> request_stop() const;

    // A file in the directory as it is: the content, or ENOENT.
    [[nodiscard]] Result<std::string> read_file(std::string_view name) const;
    // What the supervisor left behind ("helper.pid", "done", ...), read as a parent must: never
    // through a link, never waiting on a FIFO, and believed only as root's regular file at mode
    // 0644 (ENOENT while it is absent or still being written, EPERM for anything else).
    [[nodiscard]] Result<std::string> read_state_file(std::string_view name) const;
    [[nodiscard]] bool has_entry(std::string_view name) const;

private:
    StateDirectory(std::string path, UniqueFd dir, std::string nonce, Owner owner)
        : path_(std::move(path)), dir_(std::move(dir)), nonce_(std::move(nonce)), owner_(owner) {}

    std::string path_;
    UniqueFd dir_;
    std::string nonce_;
    Owner owner_;
    bool keep_ = false;
};

}  // namespace quillmere::reference
