#include "app/InputQueue.h"

namespace {

bool inTable(int code, std::size_t size) { return code >= 0 && static_cast<std::size_t>(code) < size; }

}  // namespace

void InputQueue::push(const InputEvent& event) {
    if (event.kind == InputEvent::Kind::key && !inTable(event.code, kQueuedKeys)) return;
    if (event.kind == InputEvent::Kind::button && !inTable(event.code, kQueuedButtons)) return;
    if (event.kind == InputEvent::Kind::character && event.code <= 0) return;
    events_.push_back(event);
}

InputFrame InputQueue::nextFrame() {
    std::array<bool, kQueuedKeys> keyChanged{};
    std::array<bool, kQueuedButtons> buttonChanged{};
    bool anyChange = false;
    InputFrame frame;
    while (!events_.empty()) {
        const InputEvent& event = events_.front();
        if (event.kind == InputEvent::Kind::character) {
            if (anyChange) break;
            frame.characters.push_back(static_cast<unsigned int>(event.code));
        } else {
            const bool isKey = event.kind == InputEvent::Kind::key;
            const auto code = static_cast<std::size_t>(event.code);
            bool& held = isKey ? keys_[code] : buttons_[code];
            bool& changed = isKey ? keyChanged[code] : buttonChanged[code];
            // A press of a key already down (or a release of one up) changes
            // nothing and never holds the queue up.
            if (held != event.down) {
                if (changed) break;
                if (!isKey && frame.pointer && ((*frame.pointer)[0] != event.x || (*frame.pointer)[1] != event.y))
                    break;
                held = event.down;
                changed = true;
                anyChange = true;
                if (!isKey) frame.pointer = std::array<float, 2>{event.x, event.y};
            }
        }
        events_.pop_front();
    }
    frame.keys = keys_;
    frame.buttons = buttons_;
    return frame;
}
