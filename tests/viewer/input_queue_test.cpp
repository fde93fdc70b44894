// Input queued between slow frames: every press and release reaches the user
// interface, one change per key or button a frame, in the order made.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/InputQueue.h"

namespace {

constexpr int kEnter = 257;  // GLFW's codes
constexpr int kBackspace = 259;
constexpr int kCtrl = 341;
constexpr int kLeft = 0;  // mouse button

// One character a frame: what each frame shows of `code` (keys, or buttons
// when `button`): 'v' down, '^' up.
std::string frames(InputQueue& queue, int code, bool button = false) {
    std::string shown;
    while (!queue.empty()) {
        const InputFrame frame = queue.nextFrame();
        const auto i = static_cast<std::size_t>(code);
        shown += (button ? frame.buttons[i] : frame.keys[i]) ? 'v' : '^';
    }
    return shown;
}

}  // namespace

TEST(InputQueue, TapsWithinOneFrameShowDownThenUp) {
    struct Case {
        const char* name;
        std::vector<InputEvent> events;
        int code;
        bool button;
        std::string shown;
    };
    const Case cases[] = {
        {"key tap", {InputEvent::key(kEnter, true), InputEvent::key(kEnter, false)}, kEnter, false, "v^"},
        {"double tap",
         {InputEvent::key(kEnter, true), InputEvent::key(kEnter, false), InputEvent::key(kEnter, true),
          InputEvent::key(kEnter, false)},
         kEnter, false, "v^v^"},
        {"click", {InputEvent::button(kLeft, true, 5, 5), InputEvent::button(kLeft, false, 5, 5)}, kLeft, true, "v^"},
        {"double click",
         {InputEvent::button(kLeft, true, 5, 5), InputEvent::button(kLeft, false, 5, 5),
          InputEvent::button(kLeft, true, 5, 5), InputEvent::button(kLeft, false, 5, 5)},
         kLeft, true, "v^v^"},
        // Auto-repeat is never queued; a second press of a held key changes nothing.
        {"press twice", {InputEvent::key(kEnter, true), InputEvent::key(kEnter, true), InputEvent::key(kEnter, false)},
         kEnter, false, "v^"},
        {"stray release", {InputEvent::key(kEnter, false), InputEvent::key(kEnter, true)}, kEnter, false, "v"},
    };
    for (const Case& c : cases) {
        InputQueue queue;
        for (const InputEvent& event : c.events) queue.push(event);
        EXPECT_EQ(frames(queue, c.code, c.button), c.shown) << c.name;
    }
}

TEST(InputQueue, KeysStayDownAcrossFramesUntilReleased) {
    InputQueue queue;
    queue.push(InputEvent::key(kCtrl, true));
    EXPECT_TRUE(queue.nextFrame().keys[kCtrl]);
    EXPECT_TRUE(queue.nextFrame().keys[kCtrl]);  // nothing queued: still held
    queue.push(InputEvent::key(kCtrl, false));
    EXPECT_FALSE(queue.nextFrame().keys[kCtrl]);
}

TEST(InputQueue, CtrlClickInOneFrameIsSeenWithCtrlHeld) {
    InputQueue queue;
    queue.push(InputEvent::key(kCtrl, true));
    queue.push(InputEvent::button(kLeft, true, 40, 60));
    queue.push(InputEvent::button(kLeft, false, 40, 60));
    queue.push(InputEvent::key(kCtrl, false));
    const InputFrame first = queue.nextFrame();
    EXPECT_TRUE(first.keys[kCtrl] && first.buttons[kLeft]);
    const InputFrame second = queue.nextFrame();
    EXPECT_FALSE(second.keys[kCtrl] || second.buttons[kLeft]);
    EXPECT_TRUE(queue.empty());
}

TEST(InputQueue, ClicksCountWhereTheyWereMade) {
    InputQueue queue;
    queue.push(InputEvent::button(kLeft, true, 10, 20));
    queue.push(InputEvent::button(kLeft, false, 10, 20));
    queue.push(InputEvent::button(1, true, 300, 400));  // right button, elsewhere
    const InputFrame press = queue.nextFrame();
    ASSERT_TRUE(press.pointer);
    EXPECT_EQ(*press.pointer, (std::array<float, 2>{10, 20}));
    // The release where it was made; the other button's press waits for its
    // own frame rather than move the pointer under the release.
    const InputFrame release = queue.nextFrame();
    ASSERT_TRUE(release.pointer);
    EXPECT_EQ(*release.pointer, (std::array<float, 2>{10, 20}));
    EXPECT_FALSE(release.buttons[1]);
    const InputFrame other = queue.nextFrame();
    EXPECT_EQ(*other.pointer, (std::array<float, 2>{300, 400}));
    EXPECT_TRUE(other.buttons[1]);
    // Nothing queued: the pointer is wherever the window says it is.
    EXPECT_FALSE(queue.nextFrame().pointer);
}

TEST(InputQueue, CharactersAndEditingKeysKeepTheirOrder) {
    // "a", Backspace, "b" typed within one frame: the field must end as "b".
    // The interface reads a frame's characters before its keys, so the "b"
    // waits until Backspace has been seen.
    InputQueue queue;
    queue.push(InputEvent::character('a'));
    queue.push(InputEvent::key(kBackspace, true));
    queue.push(InputEvent::character('b'));
    queue.push(InputEvent::key(kBackspace, false));
    std::string field;
    bool wasDown = false;
    while (!queue.empty()) {
        const InputFrame frame = queue.nextFrame();
        for (const unsigned int c : frame.characters) field += static_cast<char>(c);
        if (frame.keys[kBackspace] && !wasDown && !field.empty()) field.pop_back();
        wasDown = frame.keys[kBackspace];
    }
    EXPECT_EQ(field, "b");
}

TEST(InputQueue, CodesOutsideTheTablesAreDropped) {
    InputQueue queue;
    queue.push(InputEvent::key(-1, true));  // GLFW_KEY_UNKNOWN
    queue.push(InputEvent::key(static_cast<int>(kQueuedKeys), true));
    queue.push(InputEvent::button(static_cast<int>(kQueuedButtons), true, 0, 0));
    EXPECT_TRUE(queue.empty());
}
