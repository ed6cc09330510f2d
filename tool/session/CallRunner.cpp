#include "session/CallRunner.h"

namespace provisor {

void CallRunnerSlot::Set(ICallRunner* runner, std::thread::id owner) {
    std::lock_guard lock(m_mutex);
    m_runner = runner;
    m_owner = runner ? owner : std::thread::id();
}

void CallRunnerSlot::Run(const std::function<void()>& work) const {
    ICallRunner* runner = nullptr;
    {
        std::lock_guard lock(m_mutex);
        if (m_runner && m_owner == std::this_thread::get_id()) runner = m_runner;
    }
    if (runner)
        runner->Run(work);
    else
        work();
}

}  // namespace provisor
