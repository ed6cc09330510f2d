// Every message box and question of the tool goes through IMessageSink, so
// the flows run without widgets: the dialog shows real boxes, the
// command-line tool prints, and tests record.
#pragma once

#include <QString>

#include <optional>
#include <vector>

namespace provisor {

// Caption of the tool's own message boxes.
inline const QString kCaption = QStringLiteral("Keyloom");

enum class MessageIcon { None, Error, Warning, Information, Question };

class IMessageSink {
public:
    virtual ~IMessageSink() = default;
    virtual void ShowMessage(const QString& text, const QString& caption, MessageIcon icon) = 0;
    // An OK/Cancel question with English buttons; true for OK.
    virtual bool AskOkCancel(const QString& text, const QString& caption, MessageIcon icon) = 0;
};

// A message as data: what a flow would show, for a view to show or a report
// to carry.
struct Notice {
    QString text;
    QString caption = kCaption;
    MessageIcon icon = MessageIcon::None;
    bool operator==(const Notice&) const = default;
};

inline void ShowNotices(IMessageSink& sink, const std::vector<Notice>& notices) {
    for (const Notice& n : notices) sink.ShowMessage(n.text, n.caption, n.icon);
}

// How a flow asks the operator for an access key; nullopt when the operator
// leaves without one.
class IAccessKeyPrompt {
public:
    virtual ~IAccessKeyPrompt() = default;
    virtual std::optional<QString> AskAccessKey() = 0;
};

}  // namespace provisor
