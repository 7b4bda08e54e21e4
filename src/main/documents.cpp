#include "main/documents.hpp"

#include <nlohmann/json.hpp>

#include "linux/path.hpp"
#include "linux/utf8.hpp"
#include "session/session_name.hpp"

namespace quillmere {

namespace {
const char* json_bool(bool value) { return value ? "true" : "false"; }

void append_family(std::string& out, const char* key, const ProtocolSupport& support) {
    out.append(",\"").append(key).append("\":{\"tcp\":").append(json_bool(support.tcp));
    out.append(",\"udp\":").append(json_bool(support.udp)).append("}");
}
}  // namespace

std::string app_routing_document(const AppRoutingReport& report) {
    std::string out;
    out.reserve(96);
    out.append("{\"format\":").append(decimal(report.format));
    append_family(out, "ipv4", report.ipv4);
    append_family(out, "ipv6", report.ipv6);
    out.append("}\n");
    return out;
}

Result<std::string> completion_document(std::string_view state_dir) {
    const std::optional<std::string_view> name = last_path_component(state_dir);
    if (!name || !is_valid_utf8(*name)) return fail(kSessionValidationFailed);
    try {
        // The default object type keeps its keys sorted, so "format" precedes "session".
        nlohmann::json document = nlohmann::json::object();
        document["format"] = 2;
        document["session"] = std::string(*name);
        return document.dump();
    } catch (...) {
        return fail(kSessionValidationFailed);
    }
}

std::string pid_document(pid_t pid) { return decimal(static_cast<unsigned long long>(pid)); }

}  // namespace quillmere
