#pragma once
// The keyboard-hook library: while a hook is set, every key press in the
// application reaches the hooked window as the message WM_USER + 500.
#include <QObject>

namespace kalvex {

constexpr unsigned WM_KEYBOARD_HOOK = 0x0400 + 500;

// Hooks the keyboard for `window`; a second call moves the hook there.
void SetKeyboardHook(QObject* window);
// Removes the hook; harmless without one.
void UnsetKeyboardHook();

}  // namespace kalvex
