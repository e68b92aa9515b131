#include <gtest/gtest.h>

#include <vector>

#include "platform/display/DamageHistory.h"

using namespace quill::platform::display;
using Area = DamageHistory::Area;
using Areas = std::vector<Area>;

TEST(DamageHistoryTest, EvenClipWidensToEvenCornersInsideThePicture) {
    struct Case {
        Area in;
        std::optional<Area> out;
    };
    const Case cases[] = {
        {{3, 5, 8, 9}, Area{2, 4, 8, 10}},                 // odd corners widen outwards
        {{-7, -1, 4, 4}, Area{0, 0, 4, 4}},                // clipped at the top left
        {{630, 470, 700, 500}, Area{630, 470, 639, 479}},  // and at an odd right and bottom edge
        {{639, 479, 640, 480}, Area{638, 478, 639, 479}},
        {{700, 10, 800, 20}, std::nullopt},  // outside
        {{10, 10, 10, 20}, std::nullopt},    // empty
    };
    for (const auto& c : cases)
        EXPECT_EQ(DamageHistory::evenClip(c.in, 639, 479), c.out)
            << c.in.x0 << "," << c.in.y0 << " " << c.in.x1 << "," << c.in.y1;
}

TEST(DamageHistoryTest, MergesAreasThatOverlapOrTouchUntilNoneDo) {
    // a and b touch, their bounds then overlap c; d stays apart.
    const Areas merged =
        DamageHistory::merge({{0, 0, 10, 10}, {10, 0, 20, 4}, {100, 100, 110, 110}, {15, 3, 30, 30}});
    EXPECT_EQ(merged, (Areas{{0, 0, 30, 30}, {100, 100, 110, 110}}));
}

TEST(DamageHistoryTest, APictureNeedsWhatChangedSinceTheGrabItHolds) {
    DamageHistory h(640, 480);
    int p1 = 0, p2 = 0, p3 = 0;
    // Pictures never written are grabbed whole.
    EXPECT_FALSE(h.begin(&p1, {{0, 0, 8, 8}}));
    h.done(&p1);
    EXPECT_FALSE(h.begin(&p2, {{100, 100, 110, 110}}));
    h.done(&p2);
    // p1 holds grab 1: it needs grab 2's change and this one's.
    EXPECT_EQ(h.begin(&p1, {{200, 200, 210, 210}}), (Areas{{100, 100, 110, 110}, {200, 200, 210, 210}}));
    h.done(&p1);
    // p2 holds grab 2; nothing changed since grab 3 but a cursor that moved back onto grab 3's change.
    EXPECT_EQ(h.begin(&p2, {{205, 205, 215, 215}}), (Areas{{200, 200, 216, 216}}));
    h.done(&p2);
    // Nothing changed at all: nothing to refresh in the picture that holds the last grab but one.
    EXPECT_EQ(h.begin(&p1, {}), (Areas{{204, 204, 216, 216}}));
    h.done(&p1);
    EXPECT_EQ(h.begin(&p1, {}), Areas{});
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
    // `old` holds a grab the history no longer remembers.
    EXPECT_FALSE(h.begin(&old, {}));
    h.done(&old);
    // More than half the picture.
    EXPECT_FALSE(h.begin(&p, {{0, 0, 640, 200}, {0, 300, 640, 400}}));
    h.done(&p);
    EXPECT_TRUE(h.begin(&p, {{0, 0, 640, 200}}));
    h.done(&p);
    // Many small changes count as their bounds.
    Areas many;
    for (int i = 0; i < 40; ++i)
        many.push_back({i * 10, 50, i * 10 + 4, 54});
    EXPECT_EQ(h.begin(&p, many), (Areas{{0, 50, 394, 54}}));
    h.done(&p);
    h.reset(320, 240);
    EXPECT_FALSE(h.begin(&p, {}));
}
