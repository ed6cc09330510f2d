// The tool's message boxes. They block no window: the main dialog stays
// usable while one is open (the busy flag keeps a second device action out),
// and they stay on top of it. Each joins the family of the window that is
// modal when it opens, which would otherwise block the box itself.
#pragma once

#include <QPointer>

#include <functional>
#include <vector>

#include "session/UserPrompts.h"

class QMessageBox;

namespace provisor {

class MessageBoxSink final : public IMessageSink {
public:
    MessageBoxSink() = default;
    ~MessageBoxSink() override;

    // Open the box and wait for it in a local event loop.
    void ShowMessage(const QString& text, const QString& caption, MessageIcon icon) override;
    bool AskOkCancel(const QString& text, const QString& caption, MessageIcon icon) override;

    // Opens the box and returns at once; done gets true for OK. For boxes a
    // worker thread waits on: its wait must not nest an event loop inside
    // whatever the UI thread happens to be doing.
    void Open(const QString& text, const QString& caption, MessageIcon icon, bool question,
              std::function<void(bool)> done);
    // Closes every box still open (as Cancel).
    void CloseAll();

private:
    bool Exec(const QString& text, const QString& caption, MessageIcon icon, bool question);

    std::vector<QPointer<QMessageBox>> m_open;
};

}  // namespace provisor
