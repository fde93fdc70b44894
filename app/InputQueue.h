#pragma once
// Key presses, mouse clicks and typed characters queued as the window reports
// them, and handed to the user interface a frame at a time. The interface
// library of this build samples which keys and buttons are down once a
// frame, so a tap that starts and ends between two slow frames would never
// be seen: the queue lets each key and button change at most once a frame
// and keeps the rest, in order, for the frames that follow.
#include <array>
#include <cstddef>
#include <deque>
#include <optional>
#include <vector>

// GLFW's key codes stay below 349, its mouse buttons below 8; the user
// interface reads 512 keys and 5 buttons.
inline constexpr std::size_t kQueuedKeys = 512;
inline constexpr std::size_t kQueuedButtons = 5;

struct InputEvent {
    enum class Kind { key, button, character };
    Kind kind = Kind::key;
    int code = 0;       // key or button code, or the character
    bool down = false;  // press or release (keys and buttons)
    float x = 0.0f;     // where the pointer was at a button event,
    float y = 0.0f;     // in window pixels from the top left

    static InputEvent key(int code, bool down) { return {Kind::key, code, down, 0.0f, 0.0f}; }
    static InputEvent button(int code, bool down, float x, float y) { return {Kind::button, code, down, x, y}; }
    static InputEvent character(unsigned int c) { return {Kind::character, static_cast<int>(c), false, 0.0f, 0.0f}; }
};

// What one frame shows the user interface.
struct InputFrame {
    std::array<bool, kQueuedKeys> keys{};
    std::array<bool, kQueuedButtons> buttons{};
    std::vector<unsigned int> characters;  // in the order typed
    // Where the last button change of this frame happened: a click counts
    // where it was made, not where the pointer went during the slow frame.
    std::optional<std::array<float, 2>> pointer;
};

class InputQueue {
public:
    // Codes outside the tables above are dropped.
    void push(const InputEvent& event);
    // Takes the queued events, oldest first, up to the first one that this
    // frame cannot show without losing or reordering something: a second
    // change of a key or button, a button change somewhere else than the
    // last one, or a character typed after a key or button changed (the
    // interface reads a frame's characters before its keys). At least one
    // event is taken when any is queued.
    InputFrame nextFrame();
    bool empty() const { return events_.empty(); }

private:
    std::deque<InputEvent> events_;
    std::array<bool, kQueuedKeys> keys_{};
    std::array<bool, kQueuedButtons> buttons_{};
};
