#include "common/KBEHelperMessager.h"
#include "common/KBEHelperMessages.h"
#include "tests/common/MessagerTestSupport.h"

#include <gmock/gmock.h>
#include <set>

namespace {

using testing::ElementsAre;
using testing::IsEmpty;

using messagertest::NoAuthorization;

TEST(HelperMessagesTest, EveryMessageHasTheRightsOfItsList) {
    const std::set<long> none{0, 1, 5, 7, 8, 9, 10, 15, 16, 18, 19, 20, 24, 26};
    const std::set<long> modify{2, 3, 4, 6, 11, 12, 13, 14, 17, 21, 22, 23, 25, 27};
    NoAuthorization authorization;
    auto messager = KBEHelperMessager::create(authorization, "/nonexistent/socket");
    for (long message = 0; message < KBEHelperMessageCount; ++message) {
        const auto& rights = KBEHelperAuthorizationRightsForMessage(message);
        if (none.count(message)) {
            EXPECT_THAT(rights, IsEmpty()) << message;
        } else if (modify.count(message)) {
            EXPECT_THAT(rights, ElementsAre("com.vornhal.keelbrook.settings.modify-1",
                                            "com.vornhal.keelbrook.settings.modify-2"))
                << message;
        } else {
            EXPECT_EQ(message, KBEHelperMessageUninstall);
            EXPECT_THAT(rights, ElementsAre("com.vornhal.keelbrook.uninstall"));
        }
        EXPECT_EQ(messager->requiresAuthorizationForMessage(message), !rights.empty()) << message;
    }
    EXPECT_THAT(KBEHelperAuthorizationRightsForMessage(29), IsEmpty());
    EXPECT_THAT(KBEHelperAuthorizationRightsForMessage(-1), IsEmpty());
}

} // namespace
