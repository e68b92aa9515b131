// The older connection class: connecting starts one thread that does nothing; the rest does nothing.
#include <gtest/gtest.h>

#include "session/NetChannel.h"

namespace quill {
namespace {

TEST(NetChannelTest, ConnectStartsOneIdleThreadAndEverythingElseDoesNothing) {
    NetChannel channel;
    EXPECT_FALSE(channel.isConnected());
    channel.connect("10.0.0.1", 11102);
    EXPECT_TRUE(channel.isConnected());
    channel.connect("10.0.0.2", 11102);  // already connected: no second thread
    channel.disconnect();
    channel.sendData(Bytes{1, 2, 3});
    EXPECT_TRUE(channel.isConnected());
    EXPECT_TRUE(channel.host().empty());
    auto delegate = std::make_shared<int>(7);
    channel.setDelegate(delegate);
    EXPECT_EQ(channel.delegate(), delegate);
    delegate.reset();
    EXPECT_FALSE(channel.delegate());
}

}  // namespace
}  // namespace quill
