#pragma once
// Which parts of a pool picture a capture must refresh. A capture stream writes each grab into a
// picture of its pool, and a picture comes back from the pool still holding the grab it was last
// written with. The history keeps what changed on the screen at each grab, so that a picture holding
// grab g needs only the parts changed by the grabs after g; the rest of it is already the screen.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

namespace quill::platform::display {

class DamageHistory {
  public:
    // A rectangle [x0, x1) x [y0, y1) of the picture.
    struct Area {
        int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        bool operator==(const Area&) const = default;
        int64_t pixels() const { return static_cast<int64_t>(x1 - x0) * (y1 - y0); }
    };

    // Grabs remembered; a picture that holds an older grab is refreshed whole.
    static constexpr size_t kDepth = 8;
    // More areas than this to refresh, or more than half the picture: refreshed whole.
    static constexpr size_t kMaxAreas = 16;

    // For pictures of width x height.
    DamageHistory(int width, int height);

    // A new grab into `picture`, where `changed` is what changed on the screen since the last grab
    // (in the picture's coordinates, clipped here; more than kMaxAreas are taken as their bounds). Returns
    // the areas of `picture` to refresh, corners and sizes widened to even numbers and clipped to the
    // picture, none of them overlapping; none when the whole picture must be refreshed. Until done() the
    // picture counts as holding nothing.
    std::optional<std::vector<Area>> begin(const void* picture, const std::vector<Area>& changed);
    // The grab begun last into `picture` has been written.
    void done(const void* picture);
    // Forgets every grab and picture (after a change of the screen's size, say).
    void reset(int width, int height);

    // Widens to even corners within the picture; empty when nothing is left.
    static std::optional<Area> evenClip(const Area& a, int width, int height);
    // Merges areas that overlap or touch into their common bounds until none do.
    static std::vector<Area> merge(std::vector<Area> areas);

  private:
    int width_;
    int height_;
    uint64_t grabs_ = 0;                                    // grabs begun; the newest is number grabs_
    std::deque<std::optional<std::vector<Area>>> changes_;  // of the last kDepth grabs (none: all)
    std::map<const void*, uint64_t> held_;                  // the grab each picture holds
};

}  // namespace quill::platform::display
