// Limits of `download-examples` end to end: names, settings and runs side by side.
#include <future>

#include "support/e2e.hpp"

namespace vorpane::test {
namespace {

class BoundsTest : public E2ETest {};

TEST_F(BoundsTest, OverlongNamesAreDroppedAndTwoRunsShareANewDirectory) {
    init_demo_profile();
    auto account = sandbox().demo_account();
    const std::string overlong = "zel-" + std::string(200, 'x') + "-examples";
    account["packages"].push_back({{"key", overlong}});
    sandbox().write_account(account);
    // Both create the default examples directory, which neither finds there at first.
    auto first = std::async(std::launch::async, [&] { return vorpane({"download-examples"}); });
    const auto second = vorpane({"download-examples"});
    const auto one = first.get();
    for (const auto& r : {one, second}) {
        EXPECT_EQ(r.status, 0) << r.err << r.out;
    }
    // Whichever run asked the service warns; the other reads the checked list from the cache.
    EXPECT_NE((one.err + second.err).find("Warning: ignored the package \"" + overlong),
              std::string::npos);
    for (const char* bad : {"0", "65", "eight"}) {
        m_env["VORPANE_MAX_DOWNLOADS"] = bad;
        const auto r = vorpane({"download-examples"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  "Error: VORPANE_MAX_DOWNLOADS must be a whole number from 1 to 64, not \"" +
                      std::string(bad) + "\"\n");
    }
}

} // namespace
} // namespace vorpane::test
