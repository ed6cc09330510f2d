// What every flow works with: the session (library table, shared state,
// clock), the view and the operation log. The dialog builds one for its UI
// thread and its workers; the command-line tool and the tests build their
// own.
#pragma once

#include <chrono>

#include "session/OperationLog.h"
#include "session/ToolSession.h"
#include "session/ToolView.h"

namespace provisor {

struct ToolContext {
    ToolSession& session;
    IToolView& view;
    OperationLog* log = nullptr;

    CardApi& api() const { return session.cardApi; }
    // One library call, through the calling thread's runner (the UI thread
    // keeps painting meanwhile). nullopt when the entry is empty.
    template <CardFn F, typename... Args>
    auto Call(Args... args) const {
        return session.cardApi.Call<F>(args...);
    }
};

// Newest row on top with "%d-Successful operation" or "%d-Operation
// failed" for the current profile and the token's serial number; counts it
// and shows the counters.
void AddResultRow(const ToolContext& ctx, bool success);
// The State column's text of a result row for profile.
QString ResultRowState(int profile, bool success);

// Reads the serial number and clock of the token in the connected reader
// into the session and posts a field update; both texts are emptied when
// the read fails. Returns whether it succeeded.
bool ReadTokenInfo(const ToolContext& ctx, int profile);

// The pause ReadTokenInfo makes after its read.
inline constexpr std::chrono::milliseconds kTokenReadPause{50};

}  // namespace provisor
