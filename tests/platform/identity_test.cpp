// The running user's identity and the host's name.
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/identity.h"

using namespace plat;

namespace {

TEST(Identity, UserAndHost) {
    EXPECT_EQ(current_uid(), static_cast<unsigned>(::getuid()));
    EXPECT_EQ(am_i_super_user(), ::getuid() == 0);
    EXPECT_EQ(user_name(0), "root");
    EXPECT_EQ(user_name(4000000000u), "");  // no such account

    std::string node = node_name();
    EXPECT_FALSE(node.empty());
    EXPECT_EQ(node.find('\0'), std::string::npos);
}

}  // namespace
