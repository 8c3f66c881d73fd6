// The log view's two policies when a row arrives and the log is full.
#include <gtest/gtest.h>

#include "log_rows.h"

namespace tarnet::desktop {
namespace {

TEST(LogRows, DropTheOldestOrEmptyOnTheRowAfterTheLast) {
    struct Case {
        LogRows::Policy policy;
        std::vector<LogRows::Change> changes;  // rows 1..5 into a log of 3
        std::vector<std::string> left;
    };
    using C            = LogRows::Change;
    const Case cases[] = {
        {LogRows::Policy::kDropOldest,
         {C::kAppended, C::kAppended, C::kAppended, C::kOldestDropped, C::kOldestDropped},
         {"3", "4", "5"}},
        {LogRows::Policy::kEmptyWhenFull,
         {C::kAppended, C::kAppended, C::kAppended, C::kEmptied, C::kAppended},
         {"4", "5"}     },
    };
    for (const Case& c : cases) {
        LogRows log(c.policy, 3, 79);
        std::vector<LogRows::Change> changes;
        for (int i = 1; i <= 5; ++i) {
            changes.push_back(log.Append(std::to_string(i)));
        }
        EXPECT_EQ(changes, c.changes);
        EXPECT_EQ(std::vector<std::string>(log.Rows().begin(), log.Rows().end()), c.left);
    }
}

TEST(LogRows, RowsAreValidTextCutToTheLimit) {
    LogRows log(LogRows::Policy::kDropOldest, 10, 4);
    log.Append("\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC");  // five u-umlauts
    EXPECT_EQ(log.Last(), "\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC");
    log.Append(
        std::string("a\xFF"
                    "b"));
    EXPECT_EQ(log.Last().find('\xFF'), std::string::npos);
}

}  // namespace
}  // namespace tarnet::desktop
