#pragma once

#include <cstdint>

// The message numbers that travel between the notification-area host, the tray icon and the
// windows that watch them. The values are those of the desktop protocol the tray icon's callback
// follows, so a host, a recording double and a test all speak the same numbers.
namespace WindowMessage {
constexpr uint32_t QueryEndSession = 0x0011; // WM_QUERYENDSESSION: may the session end?
constexpr uint32_t EndSession = 0x0016;      // WM_ENDSESSION: the session ends (wParam: or not)
constexpr uint32_t SysCommand = 0x0112;      // WM_SYSCOMMAND: a window-menu command in wParam
constexpr uint32_t MouseMove = 0x0200;       // WM_MOUSEMOVE
constexpr uint32_t LButtonDown = 0x0201;     // WM_LBUTTONDOWN
constexpr uint32_t LButtonUp = 0x0202;       // WM_LBUTTONUP
constexpr uint32_t LButtonDblClk = 0x0203;   // WM_LBUTTONDBLCLK
constexpr uint32_t RButtonDown = 0x0204;     // WM_RBUTTONDOWN
constexpr uint32_t RButtonUp = 0x0205;       // WM_RBUTTONUP
constexpr uint32_t RButtonDblClk = 0x0206;   // WM_RBUTTONDBLCLK
constexpr uint32_t MButtonDown = 0x0207;     // WM_MBUTTONDOWN
constexpr uint32_t MButtonUp = 0x0208;       // WM_MBUTTONUP
constexpr uint32_t MButtonDblClk = 0x0209;   // WM_MBUTTONDBLCLK
constexpr uint32_t User = 0x0400;            // WM_USER: the first number free for private use
} // namespace WindowMessage

// The wParam values of WindowMessage::SysCommand.
namespace SysCommand {
constexpr uintptr_t Minimize = 0xF020; // SC_MINIMIZE
constexpr uintptr_t Restore = 0xF120;  // SC_RESTORE
} // namespace SysCommand

// One message: its number, its two parameters, and the answer its receiver gives (0 unless the
// receiver sets it).
struct TMessage {
    uint32_t Msg = 0;
    uintptr_t WParam = 0;
    intptr_t LParam = 0;
    intptr_t Result = 0;
};

// A receiver of messages: what a window handle and its window procedure stand for.
class MessageWindow {
public:
    virtual ~MessageWindow() = default;
    virtual void Dispatch(TMessage& message) = 0;

    // Sends one message and returns the receiver's answer.
    intptr_t Send(uint32_t msg, uintptr_t wParam = 0, intptr_t lParam = 0) {
        TMessage message{msg, wParam, lParam, 0};
        Dispatch(message);
        return message.Result;
    }
};
