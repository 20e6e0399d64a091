#include "vorpane/util/credential_helper.hpp"

#include "vorpane/util/process.hpp"
#include "vorpane/util/redact.hpp"

#include <nlohmann/json.hpp>

namespace vorpane::util {

namespace {

// A real helper answers a few hundred bytes; anything this large is not one.
constexpr std::size_t OUTPUT_LIMIT = std::size_t{64} * 1024;

CredentialReply call(const CredentialHelper& helper,
                     const char* action,
                     std::string input,
                     const std::string& secret,
                     std::string* answer) {
    CredentialReply reply;
    ProcessOptions options;
    options.capture = true;
    options.input = std::move(input);
    options.timeout = helper.timeout;
    options.output_limit = OUTPUT_LIMIT;
    ProcessResult result;
    try {
        result = run_process({helper.program(), action}, helper.env, options);
    } catch (const SpawnError&) {
        reply.kind = CredentialReply::Kind::missing;
        return reply;
    }
    if (result.timed_out) {
        reply.kind = CredentialReply::Kind::timed_out;
        return reply;
    }
    if (result.returncode != 0) {
        // The helpers of the shared protocol say this on standard output, the same words for
        // every keyring.
        std::string text = *result.out + "\n" + *result.err;
        if (text.find("credentials not found") != std::string::npos) {
            reply.kind = CredentialReply::Kind::not_found;
            return reply;
        }
        reply.kind = CredentialReply::Kind::failed;
        reply.returncode = result.returncode;
        text.erase(0, text.find_first_not_of(" \t\r\n"));
        std::string line = text.substr(0, std::min<std::size_t>(text.find('\n'), 200));
        if (!secret.empty() && line.find(secret) != std::string::npos) {
            line = "(its message repeated the secret and is not shown)";
        }
        reply.message = escape_control(line);
        return reply;
    }
    if (answer != nullptr) {
        *answer = std::move(*result.out);
    }
    return reply;
}

} // namespace

std::string CredentialHelper::program() const {
    return "docker-credential-" + name;
}

CredentialReply credential_get(const CredentialHelper& helper, const std::string& server_url) {
    std::string answer;
    CredentialReply reply = call(helper, "get", server_url + "\n", "", &answer);
    if (reply.kind != CredentialReply::Kind::ok) {
        return reply;
    }
    const auto doc = nlohmann::json::parse(answer, nullptr, false);
    const auto text = [&doc](const char* key) -> const nlohmann::json* {
        auto it = doc.find(key);
        return it != doc.end() && it->is_string() ? &*it : nullptr;
    };
    if (!doc.is_object() || text("Username") == nullptr || text("Secret") == nullptr) {
        reply.kind = CredentialReply::Kind::malformed;
        return reply;
    }
    reply.username = text("Username")->get<std::string>();
    reply.secret = text("Secret")->get<std::string>();
    return reply;
}

CredentialReply credential_store(const CredentialHelper& helper,
                                 const std::string& server_url,
                                 const std::string& username,
                                 const std::string& secret) {
    const nlohmann::json request = {
        {"ServerURL", server_url}, {"Username", username}, {"Secret", secret}};
    return call(helper, "store",
                request.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), secret,
                nullptr);
}

CredentialReply credential_erase(const CredentialHelper& helper, const std::string& server_url) {
    return call(helper, "erase", server_url + "\n", "", nullptr);
}

} // namespace vorpane::util
