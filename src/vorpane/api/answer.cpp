#include "vorpane/api/answer.hpp"

#include <nlohmann/json.hpp>

#include <string>

namespace vorpane::api {

int json_depth(std::string_view body, int limit) {
    int depth = 0;
    int deepest = 0;
    bool in_string = false;
    bool escaped = false;
    for (const char c : body) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > deepest) {
                deepest = depth;
                if (deepest > limit) {
                    return limit + 1;
                }
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

namespace {

// Counts values and stops the parse (by returning false) once there are too many; passes every
// event on to `inner`, when there is one.
class ValueCounter final : public nlohmann::json_sax<nlohmann::json> {
  public:
    explicit ValueCounter(std::size_t limit, nlohmann::json_sax<nlohmann::json>* inner = nullptr)
        : m_limit(limit), m_inner(inner) {}
    [[nodiscard]] std::size_t count() const noexcept { return m_count; }
    [[nodiscard]] bool failed() const noexcept { return m_failed; }

    bool null() override { return value() && (!m_inner || m_inner->null()); }
    bool boolean(bool val) override { return value() && (!m_inner || m_inner->boolean(val)); }
    bool number_integer(number_integer_t val) override {
        return value() && (!m_inner || m_inner->number_integer(val));
    }
    bool number_unsigned(number_unsigned_t val) override {
        return value() && (!m_inner || m_inner->number_unsigned(val));
    }
    bool number_float(number_float_t val, const string_t& s) override {
        return value() && (!m_inner || m_inner->number_float(val, s));
    }
    bool string(string_t& val) override { return value() && (!m_inner || m_inner->string(val)); }
    bool binary(binary_t& val) override { return value() && (!m_inner || m_inner->binary(val)); }
    bool start_object(std::size_t elements) override {
        return value() && (!m_inner || m_inner->start_object(elements));
    }
    bool key(string_t& val) override { return !m_inner || m_inner->key(val); }
    bool end_object() override { return !m_inner || m_inner->end_object(); }
    bool start_array(std::size_t elements) override {
        return value() && (!m_inner || m_inner->start_array(elements));
    }
    bool end_array() override { return !m_inner || m_inner->end_array(); }
    bool parse_error(std::size_t /*position*/,
                     const std::string& /*last_token*/,
                     const nlohmann::detail::exception& /*ex*/) override {
        m_failed = true;
        return false;
    }

  private:
    bool value() { return ++m_count <= m_limit; }

    std::size_t m_limit;
    nlohmann::json_sax<nlohmann::json>* m_inner;
    std::size_t m_count = 0;
    bool m_failed = false;
};

void check_depth(std::string_view body, std::string_view service) {
    if (json_depth(body) > MAX_JSON_DEPTH) {
        throw ServiceAnswerError(std::string(service) + " sent an answer nested deeper than " +
                                 std::to_string(MAX_JSON_DEPTH) + " levels");
    }
}

[[noreturn]] void refuse_size(std::string_view service) {
    throw ServiceAnswerError(std::string(service) + " sent an answer of more than " +
                             std::to_string(MAX_JSON_VALUES) + " values");
}

[[noreturn]] void refuse_syntax(std::string_view service) {
    throw ServiceAnswerError(std::string(service) + " sent an answer that is not JSON");
}

} // namespace

std::optional<std::size_t> json_value_count(std::string_view body, std::size_t limit) {
    ValueCounter counter(limit);
    // Without exceptions: the parser's messages quote the text, which may hold a token.
    nlohmann::json::sax_parse(body, &counter, nlohmann::json::input_format_t::json, true, false);
    if (counter.failed()) {
        return std::nullopt;
    }
    return counter.count();
}

nlohmann::json parse_service_json(std::string_view body, std::string_view service) {
    // The count comes first: text the scanner misreads is not JSON and fails the parse anyway.
    check_depth(body, service);
    const auto values = json_value_count(body);
    if (values && *values > MAX_JSON_VALUES) {
        refuse_size(service);
    }
    nlohmann::json doc = nlohmann::json::parse(body, nullptr, false);
    if (doc.is_discarded()) {
        refuse_syntax(service);
    }
    return doc;
}

void parse_service_json(std::string_view body,
                        std::string_view service,
                        nlohmann::json_sax<nlohmann::json>& handler) {
    check_depth(body, service);
    // One pass: the count stops the parse where the counting pass alone would have stopped.
    ValueCounter counter(MAX_JSON_VALUES, &handler);
    nlohmann::json::sax_parse(body, &counter, nlohmann::json::input_format_t::json, true, false);
    if (counter.failed()) {
        refuse_syntax(service);
    }
    if (counter.count() > MAX_JSON_VALUES) {
        refuse_size(service);
    }
}

} // namespace vorpane::api
