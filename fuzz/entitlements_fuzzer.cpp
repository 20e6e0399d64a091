// The entitlement service's answer, turned into records.
#include "vorpane/core/errors.hpp"
#include "vorpane/modules/entitlements.hpp"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "fuzz_support.hpp"

using namespace vorpane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view body(reinterpret_cast<const char*>(data), size);
    std::vector<records::VorpaneEntitlement> records;
    modules::Warnings warnings;
    try {
        records = modules::parse_entitlements(body, warnings);
    } catch (const core::ValidationError& e) {
        fuzz::expect(!e.errors().empty(), "validation error lists no field");
        for (const auto& error : e.errors()) {
            fuzz::expect(error.rfind("entitlements[", 0) == 0, "a field error without its path");
        }
        return 0;
    } catch (const std::runtime_error& e) {
        // Anything else that escapes (a JSON type error, say) is a crash for libFuzzer.
        fuzz::expect(fuzz::is_one_line(e.what()), "error message is not one line");
        return 0;
    }
    for (const auto& line : warnings) {
        fuzz::expect(fuzz::is_one_line(line), "a warning is not one line");
    }
    for (const auto& record : records) {
        fuzz::expect(!record.packages.empty(), "an entitlement without packages was kept");
        // The cache stores records as JSON and reads them back.
        auto stored = nlohmann::json::parse(record.to_json().dump());
        fuzz::expect(records::VorpaneEntitlement::from_json(stored) == record,
                     "a record does not survive the cache");
    }
    return 0;
}
