#pragma once
// One cursor report for the receiver: its kind, an action and the position in display points, counted
// from the top left corner. On the wire x and y travel as their low 16 bits.

#include <cstdint>

namespace quill {

struct MouseEvent {
    uint8_t type = 0;
    uint8_t action = 0;
    int x = 0;
    int y = 0;

    MouseEvent() = default;
    MouseEvent(uint8_t type_, uint8_t action_, int x_, int y_) : type(type_), action(action_), x(x_), y(y_) {}
};

}  // namespace quill
