// The two QR buttons without the dialog: real codes made with qrencode,
// picked through the recording view's file chooser (or shown on an Xvfb
// screen of the test's own) and decoded by the shipped programs. What the
// form, the messages and the window state look like afterwards, and that no
// run leaves anything in the temporary folder or talks to the token.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "session/CallRunner.h"
#include "session/ToolSession.h"
#include "import/ExternalProgram.h"
#include "provisioning/Provisioning.h"
#include "import/QrImport.h"
#include "import/QrImportFlow.h"
#include "ScriptedCard.h"
#include "ToolTestFiles.h"
#include "ToolTestScreen.h"
#include "ToolTestViews.h"

using namespace provisor;
namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

const QString kCaptionQr = QStringLiteral("Ferrant Keyloom");
const QString kNotDetected = QStringLiteral("No QR code detected. Please check the image/screen  and try again.");
const QString kAdded = QStringLiteral("QR code detected and added");

// Stands in for the dialog's runner: the work must come through it so the
// window keeps painting while the programs run.
class CountingRunner final : public ICallRunner {
public:
    void Run(const std::function<void()>& work) override {
        ++runs;
        work();
    }
    int runs = 0;
};

class QrImportFlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = tooltest::MakeTempDir("qrflow");
        tmp_ = root_ / "tmp";
        fs::create_directories(tmp_);
        for (const char* name : {"TMPDIR", "DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"})
            if (const char* v = getenv(name))
                savedEnv_.emplace_back(name, v);
            else
                savedEnv_.emplace_back(name, std::nullopt);
        setenv("TMPDIR", tmp_.c_str(), 1);
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("XDG_SESSION_TYPE");
        card_.Reset();
        card_.Install(session_.cardApi);
        session_.runner.Set(&runner_);
        // A form the operator has already filled in.
        view_.texts[Control::Seed] = "OLDSEED";
        view_.texts[Control::Title] = "old title";
        view_.selections[Control::Algorithm] = kAlgorithmSha256;
        view_.selections[Control::TimeStep] = kTimeStep60s;
        view_.selections[Control::OtpLength] = kOtpLength10;
    }
    void TearDown() override {
        session_.runner.Set(nullptr);
        for (const auto& [name, value] : savedEnv_)
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    fs::path QrPng(const fs::path& file, const std::string& payload, std::vector<std::string> options = {}) {
        fs::create_directories(file.parent_path());
        options.insert(options.end(), {"-o", file.string(), payload});
        const ExternalProgram qrencode("qrencode");
        EXPECT_TRUE(qrencode.Found()) << "qrencode is missing; scripts/install-deps.sh installs it";
        EXPECT_TRUE(qrencode.Run(options, {}, milliseconds(60000)).Succeeded());
        return file;
    }

    // The form as the import left it.
    struct Form {
        QString seed, title;
        int algorithm, timeStep, otpLength;
        bool operator==(const Form&) const = default;
    };
    Form CurrentForm() {
        return {view_.Text(Control::Seed), view_.Text(Control::Title), view_.Selection(Control::Algorithm),
                view_.Selection(Control::TimeStep), view_.Selection(Control::OtpLength)};
    }
    // The one message of a run, shown without an icon.
    void ExpectOnlyMessage(const QString& text) {
        ASSERT_EQ(view_.sink.entries.size(), 1u);
        EXPECT_EQ(view_.sink.entries[0].text, text);
        EXPECT_EQ(view_.sink.entries[0].caption, kCaptionQr);
        EXPECT_EQ(view_.sink.entries[0].icon, MessageIcon::None);
        view_.sink.entries.clear();
    }
    void ExpectNothingLeft() {
        EXPECT_TRUE(fs::is_empty(tmp_)) << "left behind in the temporary folder";
        EXPECT_TRUE(card_.Calls().empty()) << "the import talked to the token";
        EXPECT_FALSE(session_.g_busy);
    }

    fs::path root_, tmp_;
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnv_;
    tooltest::ScriptedCard& card_ = tooltest::ScriptedCard::Instance();
    CountingRunner runner_;
    ManualClock clock_;
    ToolSession session_{&clock_};
    tooltest::RecordingView view_;
    ToolContext ctx_{session_, view_, nullptr};
};

}  // namespace

// A code with every option, under a path with spaces and non-ASCII letters;
// then an image without a code; then a cancelled chooser. The seed field is
// emptied first every time, the rest of the form changes only when a code
// was found, and the window is never minimised for an image.
TEST_F(QrImportFlowTest, ImageImportFillsTheFormOrSaysNoCode) {
    const fs::path image = QrPng(root_ / "Schlüssel für mich" / "bank code.png",
                                 "otpauth://totp/Example:alice?secret=jbswy3dpehpk3pxp&issuer=Example"
                                 "&algorithm=SHA256&digits=8&period=60");
    view_.chosenFiles.push_back(QString::fromStdString(image.string()));
    ImportQrFromImage(ctx_);
    EXPECT_EQ(view_.chooserFilters,
              QStringList{"PNG Files (*.png)|*.png|JPEG Files (*.jpg)|*.jpg|All Files (*.*)|*.*||"});
    ExpectOnlyMessage(kAdded);
    EXPECT_EQ(CurrentForm(), (Form{"JBSWY3DPEHPK3PXP", "example", kAlgorithmSha256, kTimeStep60s, kOtpLength8}));
    ASSERT_FALSE(view_.textHistory.empty());
    EXPECT_EQ(view_.textHistory.front(), std::make_pair(Control::Seed, QString()));
    EXPECT_EQ(view_.minimizedHistory, std::vector<bool>{false});
    EXPECT_GE(runner_.runs, 1) << "the decoder ran outside the call runner";
    ExpectNothingLeft();

    // Defaults for what the code leaves out; no issuer, no title.
    const fs::path plain = QrPng(root_ / "plain.png", "otpauth://totp/A?secret=MFRGG&digits=7");
    view_.chosenFiles.push_back(QString::fromStdString(plain.string()));
    ImportQrFromImage(ctx_);
    ExpectOnlyMessage(kAdded);
    EXPECT_EQ(CurrentForm(), (Form{"MFRGG", "", kAlgorithmSha1, kTimeStep30s, kOtpLength6}));

    const Form before = {"", "kept", kAlgorithmSha256, kTimeStep60s, kOtpLength4};
    view_.texts[Control::Seed] = "OLDSEED";
    view_.texts[Control::Title] = before.title;
    view_.selections[Control::Algorithm] = before.algorithm;
    view_.selections[Control::TimeStep] = before.timeStep;
    view_.selections[Control::OtpLength] = before.otpLength;
    const fs::path capital = QrPng(root_ / "capital.png", "otpauth://totp/E:a?Secret=JBSWY3DPEHPK3PXP&issuer=E");
    fs::path notAnImage = root_ / "notes.png";
    tooltest::WriteFile(notAnImage, "not an image\n");
    for (const fs::path& file : {capital, notAnImage, root_ / "missing.png"}) {
        view_.texts[Control::Seed] = "OLDSEED";
        view_.chosenFiles.push_back(QString::fromStdString(file.string()));
        ImportQrFromImage(ctx_);
        ExpectOnlyMessage(kNotDetected);
        EXPECT_EQ(CurrentForm(), before) << file;
    }
    ExpectNothingLeft();

    view_.texts[Control::Seed] = "OLDSEED";
    const size_t restores = view_.minimizedHistory.size();
    const int runs = runner_.runs;
    ImportQrFromImage(ctx_);  // the chooser is cancelled
    EXPECT_EQ(CurrentForm(), before);
    EXPECT_TRUE(view_.sink.entries.empty());
    EXPECT_EQ(view_.minimizedHistory.size(), restores);
    EXPECT_EQ(runner_.runs, runs) << "a program ran after the chooser was cancelled";
    ExpectNothingLeft();
}

// The screen import minimises the window, captures the whole screen and
// puts the window back, whether a code was found or not.
TEST_F(QrImportFlowTest, ScreenImportMinimisesCapturesAndRestores) {
    // Without a graphical session the screenshot fails: no code.
    unsetenv("DISPLAY");
    ImportQrFromScreen(ctx_);
    ExpectOnlyMessage(kNotDetected);
    EXPECT_EQ(view_.Text(Control::Seed), "");
    EXPECT_EQ(view_.Text(Control::Title), "old title");
    EXPECT_EQ(view_.minimizedHistory, (std::vector<bool>{true, false}));
    ExpectNothingLeft();

    if (!ExternalProgram("Xvfb").Found()) GTEST_SKIP() << "Xvfb is not installed";
    const std::string uri = "otpauth://totp/Shop:op?secret=ONSWG4TFOQYTEMZU&issuer=Shop&period=60";
    const fs::path code = QrPng(root_ / "shown.png", uri, {"-s", "6"});
    tooltest::Background server;
    const std::string display = tooltest::StartXvfb(server, "1280x600x24");
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    setenv("DISPLAY", display.c_str(), 1);
    tooltest::Background viewer;
    ASSERT_TRUE(viewer.Start({"display", "-geometry", "+800+100", code.string()}));
    // The viewer maps its window some time after it starts.
    bool shown = false;
    for (int attempt = 0; attempt < 40 && !shown; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(milliseconds(250));
        const QrImportTempDir dir;
        shown = TakeScreenshot(dir) && RunQrDecoder(dir.ScreenshotPath(), dir) == uri;
    }
    ASSERT_TRUE(shown) << "the code never appeared on the screen";

    view_.minimizedHistory.clear();
    ImportQrFromScreen(ctx_);
    ExpectOnlyMessage(kAdded);
    EXPECT_EQ(CurrentForm(), (Form{"ONSWG4TFOQYTEMZU", "shop", kAlgorithmSha1, kTimeStep60s, kOtpLength6}));
    EXPECT_EQ(view_.minimizedHistory, (std::vector<bool>{true, false}));
    ExpectNothingLeft();
}
