// Helper of bench/cache.py: one process that opens the result cache, looks one entry up and
// decodes it ("lookup"), fills the entry first ("fill"), or does nothing ("none").
#include "vorpane/config/cache.hpp"
#include "vorpane/records/records.hpp"

#include <cstring>
#include <iostream>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: cache_probe DIR fill|lookup|none\n";
        return 2;
    }
    using namespace vorpane::config;
    using vorpane::records::VorpaneEntitlement;
    std::string mode = argv[2];
    if (mode == "none") {
        return 0;
    }
    ResultCache cache(argv[1]);
    // The entitlement list's entry, with its fixed digest as the tool uses it.
    constexpr CachedOperation entitlements{"vorpane.modules.get_user_entitlements",
                                           "d22c9858ef033f306c9c67d109a09438", 30, true,
                                           "entitlements"};
    std::string key = cache_key(entitlements);
    if (mode == "fill") {
        nlohmann::json list = nlohmann::json::array();
        for (int i = 0; i < 10; ++i) {
            list.push_back(VorpaneEntitlement{
                "Module " + std::to_string(i),
                "ENT_M" + std::to_string(i),
                {"a", "b", "c"},
                {}}.to_json());
        }
        cache.add_if_absent(key, list, 3600);
        return 0;
    }
    auto value = cache.lookup(key);
    if (!value) {
        return 1;
    }
    size_t n = 0;
    for (const auto& element : *value) {
        n += VorpaneEntitlement::from_json(element).packages.size();
    }
    return n == 30 ? 0 : 1;
}
