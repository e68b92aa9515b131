#include <gtest/gtest.h>

#include <vector>

#include "platform/display/DamageHistory.h"

using namespace quill::platform::display;
using Areas = std::vector<DamageHistory::Area>;

TEST(DamageHistoryTest, APictureNeedsWhatChangedSinceTheGrabItHolds) {
    DamageHistory h(639, 479);
    int p1 = 0, p2 = 0, p3 = 0;
    // Pictures never written are grabbed whole.
    EXPECT_FALSE(h.begin(&p1, {{0, 0, 8, 8}}));
    h.done(&p1);
    EXPECT_FALSE(h.begin(&p2, {{101, 99, 110, 110}}));
    h.done(&p2);
    // p1 needs grab 2's change and this one's: widened to even corners, clipped at the odd edges.
    EXPECT_EQ(h.begin(&p1, {{630, 470, 700, 500}}), (Areas{{100, 98, 110, 110}, {630, 470, 639, 479}}));
    h.done(&p1);
    // Areas that overlap or touch become their bounds.
    EXPECT_EQ(h.begin(&p2, {{620, 460, 630, 470}}), (Areas{{620, 460, 639, 479}}));
    h.done(&p2);
    EXPECT_EQ(h.begin(&p2, {}), Areas{});
    // A grab begun and not done leaves its picture holding nothing.
    EXPECT_FALSE(h.begin(&p3, {}));
    EXPECT_FALSE(h.begin(&p3, {}));
}

TEST(DamageHistoryTest, OldPicturesLargeChangesAndAResetMeanAWholeGrab) {
    DamageHistory h(640, 480);
    int old = 0, p = 0;
    h.begin(&old, {});
    h.done(&old);
    for (size_t i = 0; i < DamageHistory::kDepth; ++i) {
        h.begin(&p, {{0, 0, 2, 2}});
        h.done(&p);
    }
    EXPECT_FALSE(h.begin(&old, {}));  // a grab the history no longer remembers
    h.done(&old);
    EXPECT_FALSE(h.begin(&p, {{0, 0, 640, 200}, {0, 300, 640, 400}}));  // more than half the picture
    h.done(&p);
    Areas many;  // many small changes count as their bounds
    for (int i = 0; i < 40; ++i)
        many.push_back({i * 10, 50, i * 10 + 4, 54});
    EXPECT_EQ(h.begin(&p, many), (Areas{{0, 50, 394, 54}}));
    h.done(&p);
    h.reset(320, 240);
    EXPECT_FALSE(h.begin(&p, {}));
}
