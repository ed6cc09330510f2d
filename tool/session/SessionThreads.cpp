#include "session/SessionThreads.h"

namespace provisor {

SessionThreads::SessionThreads(const ToolContext& ctx, IPcscProbe& probe, Callbacks callbacks)
    : m_ctx(ctx),
      m_readers(probe, ctx.session, std::move(callbacks.readers)),
      m_clock(ctx.session, std::move(callbacks.utcText)),
      m_card(probe, ctx, std::move(callbacks.autoWrite)) {}

void SessionThreads::Start() {
    m_readers.Start();
    m_clock.Start();
    m_jobs.Start();
}

void SessionThreads::Stop() {
    m_readers.Stop();
    m_clock.Stop();
    m_card.Stop();
    // A job may be asking the UI thread something: wait without freezing it.
    m_ctx.session.RunBlocking([this] { m_jobs.Stop(); });
}

}  // namespace provisor
