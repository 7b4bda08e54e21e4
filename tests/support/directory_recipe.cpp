#include "support/directory_recipe.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <set>
#include <stdexcept>

#include "children/input_files.hpp"
#include "children/sealed_configuration.hpp"
#include "children/state_files.hpp"
#include "session/parent_link.hpp"
#include "session/session.hpp"
#include "session/stop_request.hpp"
#include "support/scratch.hpp"

namespace quillmere::testing {

namespace {

using reference::SupervisorMode;
using Keys = std::vector<std::string_view>;

constexpr int kLeaseCapability = 28;  // CAP_LEASE

void check(bool done, const std::string& what) {
    if (!done) throw std::runtime_error("cannot stage the directory: " + what + ": " + std::strerror(errno));
}

std::string at(const Staging& s, std::string_view name) { return s.session.path(name); }

void chmod_entry(const Staging& s, std::string_view name, mode_t mode) {
    check(::chmod(at(s, name).c_str(), mode) == 0, "chmod " + std::string(name));
}

void chown_entry(const Staging& s, std::string_view name, uid_t uid) {
    check(::lchown(at(s, name).c_str(), uid, uid) == 0, "chown " + std::string(name));
}

void remove_entry(const Staging& s, std::string_view name) {
    check(::unlink(at(s, name).c_str()) == 0, "unlink " + std::string(name));
}

// The entry moves out of the directory and a symbolic link to it takes its place.
void link_entry(const Staging& s, std::string_view name) {
    const std::string outside = s.base + "/outside-" + std::string(name);
    check(::rename(at(s, name).c_str(), outside.c_str()) == 0, "move " + std::string(name));
    check(::symlink(outside.c_str(), at(s, name).c_str()) == 0, "symlink " + std::string(name));
    chown_entry(s, name, kRecipeOwner);
}

void fifo_entry(const Staging& s, std::string_view name, mode_t mode) {
    ::unlink(at(s, name).c_str());
    check(::mkfifo(at(s, name).c_str(), mode) == 0, "mkfifo " + std::string(name));
    chown_entry(s, name, kRecipeOwner);
}

void directory_entry(const Staging& s, std::string_view name) {
    check(::mkdir(at(s, name).c_str(), 0700) == 0, "mkdir " + std::string(name));
    chown_entry(s, name, kRecipeOwner);
}

void resize_entry(const Staging& s, std::string_view name, off_t size) {
    check(::truncate(at(s, name).c_str(), size) == 0, "truncate " + std::string(name));
}

void hard_link_entry(const Staging& s, std::string_view name) {
    check(::link(at(s, name).c_str(), (s.base + "/second-" + std::string(name)).c_str()) == 0,
          "link " + std::string(name));
}

void give_capabilities(const Staging& s, std::string_view name) {
    // A version 2 capability set granting nothing: its presence alone refuses the file.
    const unsigned char none[20] = {0, 0, 0, 2};
    check(::setxattr(at(s, name).c_str(), "security.capability", none, sizeof none, 0) == 0,
          "setxattr " + std::string(name));
}

// A file renamed into place by someone who still holds it open for writing from when it was
// writable by all: every rule on its metadata is met.
void hold_for_writing(Staging& s, std::string_view name) {
    const mode_t mode = file_mode(at(s, name));
    const std::string content = read_file(at(s, name));
    const std::string staged = at(s, "staged");
    write_file(staged, content, 0666, kRecipeOwner);
    s.held.emplace_back(::open(staged.c_str(), O_WRONLY | O_CLOEXEC));
    check(s.held.back().valid(), "open for writing " + std::string(name));
    check(::chmod(staged.c_str(), mode) == 0, "chmod staged");
    check(::rename(staged.c_str(), at(s, name).c_str()) == 0, "rename staged");
}

// A state file as an earlier supervisor left it.
void leave_state_file(const Staging& s, std::string_view name, std::string_view content) {
    write_file(at(s, name), content, 0644);
}

void write_session_file(const Staging& s, const std::string& bytes) {
    write_file(at(s, kSessionFileName), bytes, 0600, kRecipeOwner);
}

std::string nonce_of(const Staging& s) { return s.session.dir().nonce(); }

// A descriptor limit that leaves `room` numbers for a program's own opens beside those this
// process hands on to it (open without close-on-exec): both programs of a case inherit those,
// and each one below the limit takes a number.
std::size_t limit_leaving(std::size_t room) {
    std::size_t limit = room;
    for (int fd = 3; static_cast<std::size_t>(fd) < limit; ++fd) {
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0) ++limit;
    }
    return limit;
}

void argument_link(Staging& s, std::string_view name) {
    const std::string link = s.base + "/" + std::string(name);
    check(::symlink(s.session.dir().path().c_str(), link.c_str()) == 0, "symlink the directory");
    s.run.state_dir_path = link;
}

// The defects of one input file, for either form it is used in.
void add_input_defects(std::vector<Defect>& out, std::string_view name, bool executable, bool in_recover, bool copied) {
    static std::set<std::string> storage;  // ids and keys outlive the catalogue's construction
    const auto text = [](std::string value) -> std::string_view { return *storage.insert(std::move(value)).first; };
    const std::string n(name);
    const auto add = [&](const std::string& suffix, const std::vector<std::string>& rules, Sight sight,
                         std::function<void(Staging&)> apply) {
        Keys keys;
        for (const std::string& rule : rules)
            keys.push_back(text(rule.empty() ? n : std::string(n).append("/").append(rule)));
        out.push_back({text(n + "-" + suffix), text(n), keys, in_recover ? keys : Keys{}, sight, std::move(apply)});
    };
    const mode_t good = executable ? 0700 : 0600;
    add("missing", {""}, Sight::seen, [=](Staging& s) { remove_entry(s, name); });
    add("group", {"mode"}, Sight::seen, [=](Staging& s) { chmod_entry(s, name, good | 0050); });
    add("others", {"mode"}, Sight::seen, [=](Staging& s) { chmod_entry(s, name, good | 0004); });
    add("setuid", {"set-id"}, Sight::seen, [=](Staging& s) { chmod_entry(s, name, good | S_ISUID); });
    add("hard-linked", {"links"}, Sight::seen, [=](Staging& s) { hard_link_entry(s, name); });
    add("link", {"type"}, Sight::seen, [=](Staging& s) { link_entry(s, name); });
    add("fifo", {"type", "size"}, Sight::seen, [=](Staging& s) { fifo_entry(s, name, good); });
    add("empty", {"size"}, Sight::seen, [=](Staging& s) { resize_entry(s, name, 0); });
    // Root's file in the owner's directory: the owner sees the owner, not always the content.
    add("root", {"owner"}, Sight::hides_entry, [=](Staging& s) { chown_entry(s, name, 0); });
    add("writer", {"writers"}, Sight::seen, [=](Staging& s) { hold_for_writing(s, name); });
    // Owner's own file that the owner may not read: root may, and every rule holds.
    add("unreadable", {}, Sight::hides_entry, [=](Staging& s) { chmod_entry(s, name, good & 0300); });
    if (executable) {
        add("no-execute", {"owner-execute"}, Sight::seen, [=](Staging& s) { chmod_entry(s, name, 0600); });
        add("capabilities", {"capability"}, Sight::seen, [=](Staging& s) { give_capabilities(s, name); });
    }
    if (copied) {
        add("oversized", {"size-limit"}, Sight::seen,
            [=](Staging& s) { resize_entry(s, name, static_cast<off_t>(kSealedCopyMaxBytes) + 1); });
    }
}

std::vector<Defect> build_catalogue() {
    std::vector<Defect> d;
    const auto both = [](const Keys& keys) { return std::pair{keys, keys}; };
    const auto add = [&](std::string_view id, std::string_view slot, const std::pair<Keys, Keys>& keys,
                         std::function<void(Staging&)> apply, Sight sight = Sight::seen) {
        d.push_back({id, slot, keys.first, keys.second, sight, std::move(apply)});
    };
    const auto run_only = [](const Keys& keys) { return std::pair{keys, Keys{}}; };
    const auto recover_only = [](const Keys& keys) { return std::pair{Keys{}, keys}; };

    // A bad name is given through a link, the directory keeping its own: two defects in one.
    add("argument-bad-name-link", "argument", both({"argument/name", "directory/type"}),
        [](Staging& s) { argument_link(s, "quillmere-vpn-e2e1_x"); });
    add("argument-link", "argument", both({"directory/type"}),
        [](Staging& s) { argument_link(s, "quillmere-vpn-link"); });
    add("directory-0750", "directory", both({"directory/mode"}), [](Staging& s) { s.directory_mode = 0750; });
    add("directory-0755", "directory", both({"directory/mode"}), [](Staging& s) { s.directory_mode = 0755; });
    add("directory-0701", "directory", both({"directory/mode"}), [](Staging& s) { s.directory_mode = 0701; });
    add(
        "directory-unsearchable", "directory", both({}), [](Staging& s) { s.directory_mode = 0600; },
        Sight::hides_directory);

    add("session-missing", "supervisor.json", both({"supervisor.json"}),
        [](Staging& s) { remove_entry(s, kSessionFileName); });
    add("session-group", "supervisor.json", both({"supervisor.json/mode"}),
        [](Staging& s) { chmod_entry(s, kSessionFileName, 0640); });
    add(
        "session-root", "supervisor.json", both({"supervisor.json/owner"}),
        [](Staging& s) { chown_entry(s, kSessionFileName, 0); }, Sight::hides_entry);
    add(
        "session-unreadable", "supervisor.json", both({}), [](Staging& s) { chmod_entry(s, kSessionFileName, 0200); },
        Sight::hides_entry);
    add("session-directory", "supervisor.json", both({"supervisor.json/type"}), [](Staging& s) {
        remove_entry(s, kSessionFileName);
        directory_entry(s, kSessionFileName);
    });
    add("session-link", "supervisor.json", both({"supervisor.json/type"}),
        [](Staging& s) { link_entry(s, kSessionFileName); });
    add("session-oversized", "supervisor.json", both({"supervisor.json/size"}),
        [](Staging& s) { write_session_file(s, reference::session_document(nonce_of(s)) + std::string(4096, ' ')); });
    add("session-upper-case-nonce", "supervisor.json", both({"supervisor.json/document"}),
        [](Staging& s) { write_session_file(s, reference::session_document("ABCDEF" + nonce_of(s).substr(6))); });
    add("session-format-2", "supervisor.json", both({"supervisor.json/document"}),
        [](Staging& s) { write_session_file(s, "{\"format\":2,\"parent_nonce\":\"" + nonce_of(s) + "\"}"); });
    add("session-trailing-text", "supervisor.json", both({"supervisor.json/document"}),
        [](Staging& s) { write_session_file(s, reference::session_document(nonce_of(s)) + "x"); });
    add("session-extra-key", "supervisor.json", both({"supervisor.json/document"}), [](Staging& s) {
        write_session_file(s, "{\"format\":1,\"parent_nonce\":\"" + nonce_of(s) + "\",\"extra\":0}");
    });
    add("session-byte-order-mark", "supervisor.json", both({"supervisor.json/document"}),
        [](Staging& s) { write_session_file(s, "\xEF\xBB\xBF" + reference::session_document(nonce_of(s))); });
    add("session-short-nonce", "supervisor.json", both({"supervisor.json/document"}),
        [](Staging& s) { write_session_file(s, reference::session_document(nonce_of(s).substr(1))); });
    add("session-format-as-text", "supervisor.json", both({"supervisor.json/document"}),
        [](Staging& s) { write_session_file(s, "{\"format\":\"1\",\"parent_nonce\":\"" + nonce_of(s) + "\"}"); });
    add("session-format-fraction", "supervisor.json", both({"supervisor.json/document"}),
        [](Staging& s) { write_session_file(s, "{\"format\":1.0,\"parent_nonce\":\"" + nonce_of(s) + "\"}"); });
    add("session-key-twice", "supervisor.json", both({"supervisor.json/document"}), [](Staging& s) {
        write_session_file(s, "{\"format\":1,\"format\":1,\"parent_nonce\":\"" + nonce_of(s) + "\"}");
    });
    add("session-array-form", "supervisor.json", both({}),
        [](Staging& s) { write_session_file(s, "[1,\"" + nonce_of(s) + "\"]"); });
    add("session-keys-swapped", "supervisor.json", both({}),
        [](Staging& s) { write_session_file(s, "{ \"parent_nonce\" : \"" + nonce_of(s) + "\", \"format\" : 1 }\n"); });

    add("socket-missing", "parent.sock", run_only({"parent.sock"}), [](Staging& s) { s.run.listen = false; });
    add("socket-not-listening", "parent.sock", run_only({"parent.sock/listening"}),
        [](Staging& s) { s.run.socket.form = reference::SocketForm::stale; });
    add("socket-group", "parent.sock", run_only({"parent.sock/mode"}), [](Staging& s) { s.run.socket.mode = 0660; });
    add("socket-root", "parent.sock", run_only({"parent.sock/owner"}), [](Staging& s) {
        s.run.socket.owner = reference::Owner{0, 0};
    });
    add("socket-link", "parent.sock", run_only({"parent.sock/type"}),
        [](Staging& s) { s.run.socket.form = reference::SocketForm::link_to_listening; });
    add("socket-regular-file", "parent.sock", run_only({"parent.sock/type"}), [](Staging& s) {
        s.run.listen = false;
        write_file(at(s, kParentSocketName), "", 0600, kRecipeOwner);
    });

    add("helper.pid-left", "helper.pid", run_only({"helper.pid"}),
        [](Staging& s) { leave_state_file(s, kHelperPidFile, "1"); });
    add("helper.pid-fifo", "helper.pid", run_only({"helper.pid"}),
        [](Staging& s) { fifo_entry(s, kHelperPidFile, 0600); });
    add("helper.pid-dangling-link", "helper.pid", run_only({"helper.pid"}),
        [](Staging& s) { check(::symlink("nowhere", at(s, kHelperPidFile).c_str()) == 0, "symlink helper.pid"); });
    add("recovery.pid-left", "recovery.pid", recover_only({"recovery.pid"}),
        [](Staging& s) { leave_state_file(s, kRecoveryPidFile, "1"); });

    add_input_defects(d, kNodeExecutableName, true, true, false);
    add_input_defects(d, kGuardScriptName, true, true, true);
    add_input_defects(d, kCoreExecutableName, true, false, false);
    add_input_defects(d, kCoreConfigurationName, false, true, true);

    add("stop-left", "stop", run_only({"stop"}),
        [](Staging& s) { write_file(at(s, kStopMarkerName), "", 0600, kRecipeOwner); });
    add("stop-directory", "stop", run_only({"stop/type"}), [](Staging& s) { directory_entry(s, kStopMarkerName); });
    add("stop-link", "stop", run_only({"stop/type"}), [](Staging& s) {
        write_file(s.base + "/outside-stop", "", 0600, kRecipeOwner);
        check(::symlink((s.base + "/outside-stop").c_str(), at(s, kStopMarkerName).c_str()) == 0, "symlink stop");
    });
    add("core.pid-left", "core.pid", run_only({"core.pid"}),
        [](Staging& s) { leave_state_file(s, kCorePidFile, "1"); });
    add("core-exit-left", "core-exit", run_only({"core-exit"}),
        [](Staging& s) { leave_state_file(s, kCoreExitFile, "{}"); });
    add("done-left", "done", both({"done"}), [](Staging& s) { leave_state_file(s, kDoneFile, "{}"); });
    add("done-directory", "done", both({"done"}), [](Staging& s) { directory_entry(s, kDoneFile); });
    add("cleanup-error-left", "cleanup-error", both({}),
        [](Staging& s) { leave_state_file(s, kCleanupErrorFile, ""); });

    // What the launcher hands on. pkexec passes each of these through to the supervisor.
    add("launch-sigchld-ignored", "launch", both({"launch/*"}),
        [](Staging& s) { s.launch_options.push_back("--ignore-sigchld"); });
    add("launch-without-cap-lease", "launch", both({"launch/*"}), [](Staging& s) {
        s.launch_options.insert(s.launch_options.end(), {"--drop-capability", std::to_string(kLeaseCapability)});
    });
    // A descriptor limit far below what a run holds at once (15), and on either side of it,
    // with room for what the cases inherit from this process.
    const auto nofile = [](std::size_t limit) {
        return [limit](Staging& s) {
            s.launch_options.insert(s.launch_options.end(), {"--nofile", std::to_string(limit_leaving(limit))});
        };
    };
    add("launch-few-descriptors", "launch", both({"launch/*"}), nofile(8));
    add("launch-descriptors-one-short", "launch", run_only({"launch/*"}), nofile(14));
    add("launch-descriptors-just-enough", "launch", both({}), nofile(15));
    add("launch-signals-blocked", "launch", both({}),
        [](Staging& s) { s.launch_options.push_back("--block-signals"); });
    add("launch-umask-0777", "launch", both({}), [](Staging& s) {
        s.launch_options.insert(s.launch_options.end(), {"--umask", "0777"});
    });
    add("launch-stdin-closed", "launch", both({}), [](Staging& s) {
        s.launch_options.insert(s.launch_options.end(), {"--close", "0"});
    });
    return d;
}

// A small generator of our own, so that a seed gives the same recipes with any C++ library.
class Dice {
public:
    explicit Dice(std::uint64_t seed) : state_(seed) {}
    std::size_t below(std::size_t n) {
        state_ += 0x9E3779B97F4A7C15ULL;
        std::uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return static_cast<std::size_t>((z ^ (z >> 31)) % n);
    }

private:
    std::uint64_t state_;
};

Recipe random_recipe(Dice& dice, std::size_t size) {
    const std::vector<Defect>& all = defect_catalogue();
    Recipe recipe;
    recipe.mode = dice.below(4) == 0 ? SupervisorMode::recover : SupervisorMode::run;
    std::set<std::string_view> slots;
    for (int tries = 0; recipe.defects.size() < size && tries < 100; ++tries) {
        const Defect& pick = all[dice.below(all.size())];
        if (slots.insert(pick.slot).second) recipe.defects.push_back(&pick);
    }
    return recipe;
}

}  // namespace

const std::vector<Defect>& defect_catalogue() {
    static const std::vector<Defect> catalogue = build_catalogue();
    return catalogue;
}

const Defect* find_defect(std::string_view id) {
    for (const Defect& defect : defect_catalogue())
        if (defect.id == id) return &defect;
    return nullptr;
}

std::vector<const Defect*> Recipe::effective() const {
    std::vector<const Defect*> out;
    for (const Defect* defect : defects)
        if (!defect->findings(mode).empty()) out.push_back(defect);
    return out;
}

std::string recipe_text(const Recipe& recipe) {
    std::string text(reference::mode_word(recipe.mode));
    text += ':';
    for (std::size_t i = 0; i < recipe.defects.size(); ++i) {
        if (i > 0) text += '+';
        text += recipe.defects[i]->id;
    }
    return text;
}

std::optional<Recipe> parse_recipe(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    Recipe recipe;
    const std::string_view mode = text.substr(0, colon);
    if (mode == "recover") {
        recipe.mode = SupervisorMode::recover;
    } else if (mode != "run") {
        return std::nullopt;
    }
    std::string_view rest = text.substr(colon + 1);
    std::set<std::string_view> slots;
    while (!rest.empty()) {
        const std::size_t plus = rest.find('+');
        const Defect* defect = find_defect(rest.substr(0, plus));
        if (defect == nullptr || !slots.insert(defect->slot).second) return std::nullopt;
        recipe.defects.push_back(defect);
        rest = plus == std::string_view::npos ? std::string_view() : rest.substr(plus + 1);
    }
    return recipe;
}

std::vector<Recipe> generate_recipes(std::size_t count, std::uint64_t seed) {
    std::vector<Recipe> recipes;
    const std::vector<Defect>& all = defect_catalogue();
    for (const SupervisorMode mode : {SupervisorMode::run, SupervisorMode::recover}) {
        recipes.push_back({mode, {}});
        for (const Defect& defect : all) recipes.push_back({mode, {&defect}});
    }
    // Every refusal once more where the owner cannot see it: an unknown must not pass as clean.
    const Defect* blind = find_defect("directory-unsearchable");
    for (const Defect& defect : all) {
        if (defect.slot != blind->slot && !defect.run_findings.empty())
            recipes.push_back({SupervisorMode::run, {blind, &defect}});
    }
    Dice dice(seed);
    const std::size_t fixed = recipes.size();
    while (recipes.size() < count) {
        const bool pair = recipes.size() < fixed + (count - fixed) / 2;
        recipes.push_back(random_recipe(dice, pair ? 2 : 3 + dice.below(3)));
    }
    recipes.resize(std::min(count, recipes.size()));
    return recipes;
}

void apply_recipe(const Recipe& recipe, Staging& staging) {
    for (const Defect* defect : recipe.defects) defect->apply(staging);
    if (staging.directory_mode)
        check(::chmod(staging.session.dir().path().c_str(), *staging.directory_mode) == 0, "chmod the directory");
}

}  // namespace quillmere::testing
