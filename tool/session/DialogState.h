// What the main dialog shows that worker threads also write: the token's
// serial number and clock, the tip text, and the operator's choices the
// threads read (profile, time mode, armed automatic write). Worker threads
// change these values and then call PostFieldUpdate(); only the UI thread
// copies them into the controls.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "session/ToolState.h"

namespace provisor {

class DialogState {
public:
    SharedText m_serialNumber;  // token in the reader, empty when none
    SharedText m_tokenTime;     // its clock as the token reported it
    SharedText m_tip;
    std::atomic<int> m_profile{0};          // selected profile 0-99
    std::atomic<bool> m_autoTime{true};     // "Auto time" selected
    std::atomic<bool> m_writeArmed{false};  // automatic write armed

    // Replace the texts; the controls follow at the next PostFieldUpdate().
    void SetTokenInfo(std::string serialNumber, std::string tokenTime);
    void ClearTokenInfo() { SetTokenInfo({}, {}); }
    void SetTip(std::string tip);

    // Asks the UI thread to copy the three texts into their controls, when
    // one of them has changed since the last request. Any thread.
    void PostFieldUpdate();
    // The dialog's way of getting onto its thread; it must not block.
    void SetFieldUpdateHandler(std::function<void()> handler);

private:
    static void Replace(SharedText& text, std::string value, bool& changed);

    std::atomic<bool> m_dirty{true};
    std::mutex m_handlerMutex;
    std::function<void()> m_handler;
};

}  // namespace provisor
