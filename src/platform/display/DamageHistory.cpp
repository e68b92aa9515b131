#include "platform/display/DamageHistory.h"

#include <algorithm>

namespace quill::platform::display {

DamageHistory::DamageHistory(int width, int height) : width_(width), height_(height) {}

void DamageHistory::reset(int width, int height) {
    width_ = width;
    height_ = height;
    changes_.clear();
    held_.clear();
}

std::optional<DamageHistory::Area> DamageHistory::evenClip(const Area& a, int width, int height) {
    Area e{std::max(0, a.x0 & ~1), std::max(0, a.y0 & ~1), std::min(width, (a.x1 + 1) & ~1),
           std::min(height, (a.y1 + 1) & ~1)};
    if (e.x0 >= e.x1 || e.y0 >= e.y1) return std::nullopt;
    return e;
}

std::vector<DamageHistory::Area> DamageHistory::merge(std::vector<Area> areas) {
    for (bool merged = true; merged;) {
        merged = false;
        for (size_t i = 0; i < areas.size() && !merged; ++i) {
            for (size_t j = i + 1; j < areas.size(); ++j) {
                const Area& a = areas[i];
                const Area& b = areas[j];
                if (a.x0 > b.x1 || b.x0 > a.x1 || a.y0 > b.y1 || b.y0 > a.y1) continue;
                areas[i] = {std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1),
                            std::max(a.y1, b.y1)};
                areas.erase(areas.begin() + static_cast<ptrdiff_t>(j));
                merged = true;
                break;
            }
        }
    }
    return areas;
}

std::optional<std::vector<DamageHistory::Area>> DamageHistory::begin(const void* picture,
                                                                     const std::vector<Area>& changed) {
    std::vector<Area> now;
    for (const Area& a : changed)
        if (auto e = evenClip(a, width_, height_)) now.push_back(*e);
    if (now.size() > kMaxAreas) {
        // Many small changes (text, say): their bounds, rather than merging them one by one.
        Area bounds = now.front();
        for (const Area& a : now)
            bounds = {std::min(bounds.x0, a.x0), std::min(bounds.y0, a.y0), std::max(bounds.x1, a.x1),
                      std::max(bounds.y1, a.y1)};
        now = {bounds};
    }
    ++grabs_;
    changes_.push_back(merge(std::move(now)));
    while (changes_.size() > kDepth)
        changes_.pop_front();

    const auto it = held_.find(picture);
    std::optional<uint64_t> holds;
    if (it != held_.end()) {
        holds = it->second;
        held_.erase(it);
    }
    // The picture needs the changes of grabs holds + 1 .. grabs_, all of which must be remembered.
    if (!holds || grabs_ - *holds > changes_.size()) return std::nullopt;
    std::vector<Area> all;
    for (size_t k = changes_.size() - static_cast<size_t>(grabs_ - *holds); k < changes_.size(); ++k) {
        if (!changes_[k]) return std::nullopt;
        all.insert(all.end(), changes_[k]->begin(), changes_[k]->end());
    }
    all = merge(std::move(all));
    int64_t pixels = 0;
    for (const Area& a : all)
        pixels += a.pixels();
    if (all.size() > kMaxAreas || 2 * pixels > static_cast<int64_t>(width_) * height_) return std::nullopt;
    return all;
}

void DamageHistory::done(const void* picture) {
    held_[picture] = grabs_;
}

}  // namespace quill::platform::display
