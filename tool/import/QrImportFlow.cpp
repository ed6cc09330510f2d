#include "import/QrImportFlow.h"

#include <QFile>

#include <string>

#include "import/QrImport.h"
#include "formats/Secrets.h"

namespace provisor {

namespace {

QString Latin(const char* text) { return QString::fromLatin1(text); }

// The form values of a decoded text, or the "no QR code" message. The window
// is back in its normal state before any message appears: a box whose
// parent is still minimised may never be seen by the operator.
void FinishImport(const ToolContext& ctx, std::string& decoded) {
    IToolView& view = ctx.view;
    view.SetMinimized(false);
    std::optional<OtpauthFields> fields = InterpretQrText(decoded);
    Wipe(decoded);
    if (!fields) {
        view.ShowMessage(Latin(kQrNotDetectedMessage), Latin(kQrMessageCaption), MessageIcon::None);
        return;
    }
    view.ShowMessage(Latin(kQrAddedMessage), Latin(kQrMessageCaption), MessageIcon::None);
    view.SetText(Control::Seed, QString::fromStdString(fields->seed));
    Wipe(fields->seed);
    view.SetSelection(Control::Algorithm, fields->algorithm);
    view.SetText(Control::Title, QString::fromStdString(fields->title));
    view.SetSelection(Control::TimeStep, fields->timeStep);
    view.SetSelection(Control::OtpLength, fields->otpLength);
}

}  // namespace

void ImportQrFromImage(const ToolContext& ctx) {
    ctx.view.SetText(Control::Seed, QString());
    const std::optional<QString> chosen = ctx.view.ChooseOpenFile(Latin(kQrImageFilter));
    if (!chosen) return;
    const std::filesystem::path image = QFile::encodeName(*chosen).toStdString();
    std::string decoded;
    {
        // Gone with everything in it before the operator sees a message.
        const QrImportTempDir dir;
        ctx.session.RunBlocking([&] { decoded = RunQrDecoder(image, dir); });
    }
    FinishImport(ctx, decoded);
}

void ImportQrFromScreen(const ToolContext& ctx) {
    std::string decoded;
    {
        const QrImportTempDir dir;
        ctx.view.SetText(Control::Seed, QString());
        ctx.view.SetMinimized(true);
        ctx.session.Pause(kMinimizeSettle);
        // The screenshot is complete before the decoder looks for it.
        ctx.session.RunBlocking([&] {
            if (TakeScreenshot(dir)) decoded = RunQrDecoder(dir.ScreenshotPath(), dir);
        });
    }
    FinishImport(ctx, decoded);
}

}  // namespace provisor
