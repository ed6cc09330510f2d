#include "dialog/CInputCustomerKey.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "formats/Encodings.h"

namespace provisor {

namespace {

QPushButton* MakeButton(const QString& text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    // Enter in a field must not press a button behind the operator's back.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

}  // namespace

CInputCustomerKey::CInputCustomerKey(IMessageSink& sink, QWidget* parent) : QDialog(parent), m_sink(sink) {
    setObjectName(QStringLiteral("CInputCustomerKey"));
    setWindowTitle(QStringLiteral("Access key"));

    auto* asciiGroup = new QGroupBox(this);
    asciiGroup->setObjectName(QStringLiteral("groupAscii"));
    auto* asciiLabel = new QLabel(QStringLiteral("Enter key (ASCII)"), asciiGroup);
    m_editAscii = new QLineEdit(asciiGroup);
    m_editAscii->setObjectName(QStringLiteral("editKeyAscii"));
    asciiLabel->setBuddy(m_editAscii);
    auto* saveAscii = MakeButton(QStringLiteral("Save"), "buttonSaveAscii", asciiGroup);
    auto* asciiNote =
        new QLabel(QStringLiteral("the key entered in ASCII format will be converted to HEX and saved"), asciiGroup);
    auto* asciiLayout = new QGridLayout(asciiGroup);
    asciiLayout->addWidget(asciiLabel, 0, 0);
    asciiLayout->addWidget(m_editAscii, 0, 1);
    asciiLayout->addWidget(saveAscii, 0, 2);
    asciiLayout->addWidget(asciiNote, 1, 0, 1, 3);
    // A screen reader tells the two "Save" buttons apart by their group.
    asciiGroup->setAccessibleName(asciiLabel->text());
    m_editAscii->setAccessibleName(asciiLabel->text());

    auto* hexGroup = new QGroupBox(this);
    hexGroup->setObjectName(QStringLiteral("groupHex"));
    auto* hexLabel = new QLabel(QStringLiteral("Enter Key (HEX):"), hexGroup);
    m_editHex = new QLineEdit(hexGroup);
    m_editHex->setObjectName(QStringLiteral("editKeyHex"));
    m_editHex->setMaxLength(kAccessKeyMaxChars);
    // Room for 32 digits without scrolling.
    m_editHex->setMinimumWidth(m_editHex->fontMetrics().horizontalAdvance(QString(34, QLatin1Char('D'))));
    hexLabel->setBuddy(m_editHex);
    auto* saveHex = MakeButton(QStringLiteral("Save"), "buttonSaveHex", hexGroup);
    auto* resetDefault = MakeButton(QStringLiteral("reset to default  key"), "buttonResetDefault", hexGroup);
    auto* hexLayout = new QGridLayout(hexGroup);
    hexLayout->addWidget(hexLabel, 0, 0);
    hexLayout->addWidget(m_editHex, 0, 1);
    hexLayout->addWidget(saveHex, 0, 2);
    hexLayout->addWidget(resetDefault, 1, 1, 1, 2, Qt::AlignRight);
    hexGroup->setAccessibleName(hexLabel->text());
    m_editHex->setAccessibleName(hexLabel->text());

    auto* cancel = MakeButton(QStringLiteral("Cancel"), "buttonCancel", this);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addStretch();
    buttonRow->addWidget(cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(asciiGroup);
    layout->addWidget(hexGroup);
    layout->addLayout(buttonRow);

    connect(saveHex, &QPushButton::clicked, this, &CInputCustomerKey::OnSaveHex);
    connect(saveAscii, &QPushButton::clicked, this, &CInputCustomerKey::OnSaveAscii);
    connect(resetDefault, &QPushButton::clicked, this, &CInputCustomerKey::OnResetDefault);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void CInputCustomerKey::SaveText(const QString& text) {
    const KeySaveOutcome outcome = DecideKeySave(text, m_sink);
    // An over-long text is not put into the field: the field would cut it to
    // 32 digits, and a second "Save" would then accept a key the operator
    // never entered.
    if (!outcome.accepted) return;
    m_editHex->setText(outcome.cleaned);
    m_key = outcome.cleaned;
    accept();
}

void CInputCustomerKey::OnSaveHex() { SaveText(m_editHex->text()); }

void CInputCustomerKey::OnSaveAscii() {
    const std::u16string hex = AsciiToHexText(m_editAscii->text().toStdU16String());
    SaveText(QString::fromStdU16String(hex));
}

void CInputCustomerKey::OnResetDefault() {
    m_key = kFactoryDefaultKey;
    m_editHex->setText(kFactoryDefaultKey);
}

std::optional<QString> AccessKeyDialogPrompt::AskAccessKey() {
    CInputCustomerKey dialog(m_sink, m_parent);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.Key();
}

}  // namespace provisor
