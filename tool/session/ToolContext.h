// What every flow works with: the library table, the dialog's shared state,
// the view and the operation log. The dialog builds one for its UI thread
// and its workers; the command-line tool and the tests build their own.
#pragma once

#include <optional>

#include "session/CallRunner.h"
#include "session/CardApi.h"
#include "session/DialogState.h"
#include "session/OperationLog.h"
#include "session/ToolView.h"

namespace provisor {

struct ToolContext {
    CardApi& api;
    DialogState& state;
    IToolView& view;
    OperationLog* log = nullptr;

    // One library call through the calling thread's runner (the UI thread
    // keeps painting meanwhile). nullopt when the entry is empty.
    template <CardFn F, typename... Args>
    auto Call(Args... args) {
        decltype(api.Call<F>(args...)) result;
        RunBlocking([&] { result = api.Call<F>(args...); });
        return result;
    }
};

// Newest row on top with "%d-Successful operation" or "%d-Operation
// failed" for the current profile and the token's serial number; counts it
// and shows the counters.
void AddResultRow(ToolContext& ctx, bool success);

// Reads the serial number and clock of the token in the connected reader
// into the state and posts a field update; both texts are emptied when the
// read fails. Returns whether it succeeded.
bool ReadTokenInfo(ToolContext& ctx, int profile);

// A pause on the calling thread; the UI thread keeps painting through it.
void PauseFor(int milliseconds);

}  // namespace provisor
