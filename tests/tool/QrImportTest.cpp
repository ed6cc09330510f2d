// The QR import end to end without the dialog: real QR codes made with
// qrencode, decoded by the shipped qrdecode.dll through RunQrDecoder, a
// screen captured by the shipped scrn.dll under Xvfb, and the runner that
// starts both. Every run must leave nothing behind in the temporary folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "import/ExternalProgram.h"
#include "import/QrImport.h"
#include "ToolTestFiles.h"
#include "ToolTestScreen.h"

using namespace provisor;
namespace fs = std::filesystem;
using std::chrono::milliseconds;
using tooltest::Background;
using tooltest::StartXvfb;

namespace {

struct Expected {
    std::string seed;
    std::string title;
    int algorithm = kAlgorithmSha1;
    int timeStep = kTimeStep30s;
    int otpLength = kOtpLength6;
};

void ExpectFields(const std::optional<OtpauthFields>& got, const std::optional<Expected>& want,
                  const std::string& what) {
    ASSERT_EQ(got.has_value(), want.has_value()) << what;
    if (!want) return;
    EXPECT_EQ(got->seed, want->seed) << what;
    EXPECT_EQ(got->title, want->title) << what;
    EXPECT_EQ(got->algorithm, want->algorithm) << what;
    EXPECT_EQ(got->timeStep, want->timeStep) << what;
    EXPECT_EQ(got->otpLength, want->otpLength) << what;
}

bool IsEmptyDirectory(const fs::path& dir) { return fs::is_directory(dir) && fs::is_empty(dir); }

std::string DirectoryListing(const fs::path& dir) {
    std::string names;
    for (const auto& e : fs::directory_iterator(dir)) names += e.path().filename().string() + " ";
    return names;
}

// Width and height from a PNG file's IHDR chunk.
std::pair<uint32_t, uint32_t> PngSize(const fs::path& file) {
    const std::string bytes = tooltest::ReadFile(file);
    if (bytes.size() < 24 || bytes.compare(1, 3, "PNG") != 0) return {0, 0};
    auto be32 = [&](size_t at) {
        uint32_t v = 0;
        for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
        return v;
    };
    return {be32(16), be32(20)};
}

// Every test works in a directory of its own, with TMPDIR pointing into it
// so that what the import or the helper scripts leave behind shows up.
class QrImportTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = tooltest::MakeTempDir("qrtest");
        tmp_ = root_ / "tmp";
        work_ = root_ / "work";
        fs::create_directories(tmp_);
        fs::create_directories(work_);
        if (const char* t = getenv("TMPDIR")) oldTmpdir_ = t;
        setenv("TMPDIR", tmp_.c_str(), 1);
        oldCwd_ = fs::current_path();
        fs::current_path(work_);
        marker_ = work_ / "INJECTED";
        setenv("QRTEST_MARK", marker_.c_str(), 1);
    }

    void TearDown() override {
        fs::current_path(oldCwd_);
        if (oldTmpdir_)
            setenv("TMPDIR", oldTmpdir_->c_str(), 1);
        else
            unsetenv("TMPDIR");
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // Runs a program from PATH that a fixture needs; it must succeed.
    void Tool(const std::string& name, const std::vector<std::string>& args) {
        const ExternalProgram program(name);
        ASSERT_TRUE(program.Found()) << name << " is missing; scripts/install-deps.sh installs it";
        const ProgramRun run = program.Run(args, {}, milliseconds(60000));
        ASSERT_TRUE(run.Succeeded()) << name << " failed";
    }

    fs::path QrPng(const fs::path& file, const std::string& payload, std::vector<std::string> options = {}) {
        fs::create_directories(file.parent_path());
        options.insert(options.end(), {"-o", file.string(), payload});
        Tool("qrencode", options);
        return file;
    }

    // zbarimg alone finds nothing: the fallbacks of qrdecode.dll are what
    // make the image readable.
    void ExpectPlainZbarFails(const fs::path& image) {
        const ExternalProgram zbar("zbarimg");
        ASSERT_TRUE(zbar.Found());
        const ProgramRun run =
            zbar.Run({"--nodbus", "--raw", "-q", image.string()}, work_ / "zbar.out", milliseconds(60000));
        EXPECT_EQ(run.outcome, ProgramOutcome::kExited);
        EXPECT_NE(run.exitCode, 0) << image << " decodes without any fallback";
    }

    // One import run on an image; the run's directory must be gone after it.
    std::string Decode(const fs::path& image) {
        fs::path used;
        std::string text;
        {
            const QrImportTempDir dir;
            EXPECT_TRUE(dir.Valid());
            EXPECT_EQ(dir.Path().parent_path(), tmp_);
            EXPECT_EQ(fs::status(dir.Path()).permissions() & fs::perms::all, fs::perms::owner_all);
            used = dir.Path();
            text = RunQrDecoder(image, dir);
        }
        EXPECT_FALSE(fs::exists(used));
        EXPECT_TRUE(IsEmptyDirectory(tmp_)) << "left behind: " << DirectoryListing(tmp_);
        return text;
    }

    fs::path root_, tmp_, work_, oldCwd_, marker_;
    std::optional<std::string> oldTmpdir_;
};

}  // namespace

TEST_F(QrImportTest, ShippedProgramsSitBesideTheExecutable) {
    for (const char* name : {kQrDecoderProgram, kScreenshotProgram}) {
        const ExternalProgram program(name);
        ASSERT_TRUE(program.Found()) << name;
        EXPECT_EQ(program.Path().parent_path(), ExternalProgram::OwnDirectory()) << name;
    }
}

// The cases an issuer's QR code can present, each decoded from a real image
// and interpreted; file names with spaces or shell syntax must neither break
// the path nor run anything.
TEST_F(QrImportTest, DecodesAndInterpretsOtpauthCodes) {
    const std::string basic = "otpauth://totp/Example:alice?secret=jbswy3dpehpk3pxp&issuer=Example";
    struct Case {
        std::string name;
        std::string uri;
        std::optional<Expected> want;
        fs::path file;
    };
    const std::vector<Case> cases = {
        {"secret first, issuer last", basic, Expected{"JBSWY3DPEHPK3PXP", "example"}, "plain.png"},
        {"options after the issuer", basic + "&algorithm=SHA256&digits=8&period=60",
         Expected{"JBSWY3DPEHPK3PXP", "example", kAlgorithmSha256, kTimeStep60s, kOtpLength8}, "options.png"},
        {"secret not first", "otpauth://totp/X?issuer=X&secret=GEZDGNBVGY3TQOJQ&period=30",
         Expected{"GEZDGNBVGY3TQOJQ", "x"}, "secret-second.png"},
        {"capital S", "otpauth://totp/Example:alice?Secret=JBSWY3DPEHPK3PXP&issuer=Example", std::nullopt,
         "capital.png"},
        {"ten digits", "otpauth://totp/A?secret=MFRGG&digits=10",
         Expected{"MFRGG", "", kAlgorithmSha1, kTimeStep30s, kOtpLength10}, "ten.png"},
        {"seven digits", "otpauth://totp/A?secret=MFRGG&digits=7&issuer=A", Expected{"MFRGG", "a"}, "seven.png"},
        {"long issuer", "otpauth://totp/Acme?secret=MFRGG&issuer=Acme%20Widgets%20Worldwide&period=60",
         Expected{"MFRGG", "acme%20widge", kAlgorithmSha1, kTimeStep60s}, "long-issuer.png"},
        {"path with spaces", basic, Expected{"JBSWY3DPEHPK3PXP", "example"}, "a folder/my otp code.png"},
        {"path with shell syntax", basic, Expected{"JBSWY3DPEHPK3PXP", "example"},
         "x $(touch $QRTEST_MARK) `touch $QRTEST_MARK` ; touch $QRTEST_MARK ; [0] & .png"},
        {"name that looks like an option", basic, Expected{"JBSWY3DPEHPK3PXP", "example"}, "-q png:x.png"},
    };
    for (const Case& c : cases) {
        const fs::path image = QrPng(work_ / c.file, c.uri);
        const std::string text = Decode(image);
        EXPECT_EQ(text, c.uri) << c.name;
        ExpectFields(InterpretQrText(text), c.want, c.name);
    }
    EXPECT_FALSE(fs::exists(marker_)) << "a file name was run as a command";

    // JPEG is the other format the file chooser offers.
    const fs::path png = QrPng(work_ / "for-jpeg.png", basic, {"-s", "6"});
    Tool("convert", {png.string(), "-quality", "85", (work_ / "code.jpg").string()});
    EXPECT_EQ(Decode(work_ / "code.jpg"), basic);
}

// A code on a transparent ground, light modules on a dark ground (dark-mode
// pages) and a large, soft, low-contrast picture (a photo of a screen) each
// need one of the decoder's fallbacks.
TEST_F(QrImportTest, DecoderFallsBackToInvertedAndShrunkCopies) {
    const std::string uri = "otpauth://totp/Bank:op?secret=KRSXG5CTMVRXEZLU&issuer=Bank&digits=8";
    const Expected want{"KRSXG5CTMVRXEZLU", "bank", kAlgorithmSha1, kTimeStep30s, kOtpLength8};

    // Transparent pixels whose hidden colour is black, like the modules.
    const fs::path clear = QrPng(work_ / "transparent.png", uri, {"--background=00000000"});
    ExpectPlainZbarFails(clear);
    const std::string clearText = Decode(clear);
    EXPECT_EQ(clearText, uri);
    ExpectFields(InterpretQrText(clearText), want, "transparent ground");

    const fs::path dark = QrPng(work_ / "dark mode.png", uri, {"--foreground=FFFFFF", "--background=000000"});
    ExpectPlainZbarFails(dark);
    const std::string darkText = Decode(dark);
    EXPECT_EQ(darkText, uri);
    ExpectFields(InterpretQrText(darkText), want, "light on dark");

    // Edges blurred over dozens of pixels stay below the scanner's gradient
    // threshold until the picture is shrunk.
    const fs::path sharp = QrPng(work_ / "small.png", uri, {"-s", "10"});
    const fs::path soft = work_ / "photo of a screen.jpg";
    Tool("convert",
         {sharp.string(), "-blur", "0x3.5", "+level", "37%,67%", "-resize", "500%", "-quality", "90", soft.string()});
    ExpectPlainZbarFails(soft);
    const std::string softText = Decode(soft);
    EXPECT_EQ(softText, uri);
    ExpectFields(InterpretQrText(softText), want, "large soft image");
}

// Everything that is not a readable QR code ends as empty text, after every
// fallback has been tried, with nothing left behind.
TEST_F(QrImportTest, NoCodeGivesEmptyTextAndLeavesNothingBehind) {
    Tool("convert", {"-size", "1400x1100", "xc:white", "-fill", "black", "-draw", "rectangle 100,100 400,300",
                     (work_ / "large blank.png").string()});
    tooltest::WriteFile(work_ / "notes.png", "not an image\n");
    for (const fs::path& image : {work_ / "large blank.png", work_ / "notes.png", work_ / "missing.png"}) {
        EXPECT_EQ(Decode(image), "") << image;
        EXPECT_FALSE(ReadQrFromImageFile(image).has_value()) << image;
        EXPECT_TRUE(IsEmptyDirectory(tmp_)) << "left behind: " << DirectoryListing(tmp_);
    }
}

// The decoder's output file as the import reads it, with stand-in decoders:
// only the first word counts, the exit status does not, and a hung decoder
// is stopped and yields nothing.
TEST_F(QrImportTest, DecoderOutputIsTheFirstWordOfAFinishedRun) {
    const fs::path bin = root_ / "bin";
    fs::create_directories(bin);
    auto fake = [&](const std::string& body) {
        tooltest::WriteFile(bin / kQrDecoderProgram, "#!/bin/sh\n" + body + "\n");
        fs::permissions(bin / kQrDecoderProgram, fs::perms::owner_all);
        return ExternalProgram(kQrDecoderProgram, bin);
    };
    auto run = [&](const ExternalProgram& decoder, milliseconds limit = kQrDecodeTimeLimit) {
        const QrImportTempDir dir;
        return RunQrDecoder(decoder, work_ / "any image.png", dir, limit);
    };

    EXPECT_EQ(run(fake("printf ' \\n\\t otpauth://totp/a?secret=AB&x=1 trailing words\\nsecond line'; exit 4")),
              "otpauth://totp/a?secret=AB&x=1");
    EXPECT_EQ(run(fake("[ \"$#:$1\" = \"1:" + (work_ / "any image.png").string() + "\" ] && echo one-argument")),
              "one-argument");
    // A NUL byte ends the text, as reading it as C text would.
    EXPECT_EQ(run(fake("printf 'otpauth://totp/a?secret=AB\\000&issuer=hidden'")), "otpauth://totp/a?secret=AB");
    EXPECT_EQ(run(fake("exit 0")), "");
    EXPECT_EQ(run(fake("printf 'secret=PART'; exec sleep 30"), milliseconds(300)), "");
    EXPECT_EQ(run(ExternalProgram("qrdecode-that-does-not-exist.dll", bin)), "");
    EXPECT_TRUE(IsEmptyDirectory(tmp_)) << "left behind: " << DirectoryListing(tmp_);
}

// The parameters are found in any case, and a digit count the token has is
// taken; nothing falls back to the defaults silently.
TEST(OtpauthText, ParameterNamesInCapitalsAndTenDigits) {
    const auto fields = InterpretQrText("otpauth://totp/A?secret=mfrgg&PERIOD=60&DIGITS=10&ALGORITHM=SHA256");
    ASSERT_TRUE(fields.has_value());
    EXPECT_EQ(fields->seed, "MFRGG");
    EXPECT_EQ(fields->timeStep, kTimeStep60s);
    EXPECT_EQ(fields->otpLength, kOtpLength10);
    EXPECT_EQ(fields->algorithm, kAlgorithmSha256);
    EXPECT_EQ(InterpretQrText("otpauth://totp/A?secret=MFRGG&digits=10")->otpLength, kOtpLength10);
}

TEST(ExternalProgram, LooksBesideTheExecutableFirstThenOnAbsolutePathEntries) {
    const fs::path root = tooltest::MakeTempDir("qr-lookup");
    const fs::path exeDir = root / "exe";
    const fs::path pathDir = root / "path";
    const fs::path relDir = root / "rel";
    for (const fs::path& d : {exeDir, pathDir, relDir}) fs::create_directories(d);
    auto script = [](const fs::path& file, fs::perms perms) {
        tooltest::WriteFile(file, "#!/bin/sh\nexit 0\n");
        fs::permissions(file, perms);
    };
    script(exeDir / "probe-a", fs::perms::owner_all);
    script(pathDir / "probe-a", fs::perms::owner_all);
    script(exeDir / "probe-b", fs::perms::owner_read | fs::perms::owner_write);  // not executable
    script(pathDir / "probe-b", fs::perms::owner_all);
    script(relDir / "probe-c", fs::perms::owner_all);

    const std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
    const fs::path oldCwd = fs::current_path();
    fs::current_path(root);
    setenv("PATH", ("rel::" + pathDir.string()).c_str(), 1);
    EXPECT_EQ(ExternalProgram::Locate("probe-a", exeDir), exeDir / "probe-a");
    EXPECT_EQ(ExternalProgram::Locate("probe-a", {}), pathDir / "probe-a");
    EXPECT_EQ(ExternalProgram::Locate("probe-b", exeDir), pathDir / "probe-b");
    EXPECT_EQ(ExternalProgram::Locate("probe-c", exeDir), fs::path()) << "relative PATH entry searched";
    const ExternalProgram missing("probe-d", exeDir);
    EXPECT_FALSE(missing.Found());
    EXPECT_EQ(missing.Run({}, {}, milliseconds(1000)).outcome, ProgramOutcome::kNotFound);
    setenv("PATH", oldPath.c_str(), 1);
    fs::current_path(oldCwd);
    fs::remove_all(root);
}

// Arguments reach the program as given, no shell involved, and the output
// file is opened by the runner: private, truncated, never through a link.
TEST(ExternalProgram, PassesArgumentsWholeAndGuardsTheOutputFile) {
    const fs::path root = tooltest::MakeTempDir("qr-run");
    const fs::path marker = root / "INJECTED";
    const fs::path out = root / "out.txt";
    tooltest::WriteFile(out, std::string(5000, 'x'));
    fs::permissions(out, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);

    const std::vector<std::string> args = {
        "%s|", "a b",  "$(touch " + marker.string() + ")", "`touch " + marker.string() + "`; touch " + marker.string(),
        "",    "'\"\\"};
    const ExternalProgram printfProgram("printf");
    ASSERT_TRUE(printfProgram.Found());
    const ProgramRun run = printfProgram.Run(args, out, milliseconds(10000));
    EXPECT_TRUE(run.Succeeded());
    EXPECT_EQ(tooltest::ReadFile(out), "a b|$(touch " + marker.string() + ")|`touch " + marker.string() + "`; touch " +
                                           marker.string() + "||'\"\\|");
    EXPECT_FALSE(fs::exists(marker));

    const fs::path created = root / "created.txt";
    EXPECT_TRUE(printfProgram.Run({"x"}, created, milliseconds(10000)).Succeeded());
    EXPECT_EQ(fs::status(created).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    const fs::path target = root / "target.txt";
    const fs::path link = root / "link.txt";
    tooltest::WriteFile(target, "keep");
    fs::create_symlink(target, link);
    EXPECT_EQ(printfProgram.Run({"overwritten"}, link, milliseconds(10000)).outcome, ProgramOutcome::kOutputFailed);
    EXPECT_EQ(tooltest::ReadFile(target), "keep");
    fs::remove_all(root);
}

// At the time limit the program's whole group is stopped: a wrapper gets
// SIGTERM first, so its clean-up trap runs, and what it started dies too.
TEST(ExternalProgram, TimeLimitStopsTheWholeGroupGracefully) {
    const fs::path root = tooltest::MakeTempDir("qr-timeout");
    const fs::path cleaned = root / "cleaned";
    const fs::path childPid = root / "child.pid";
    const ExternalProgram bash("bash");
    ASSERT_TRUE(bash.Found());
    const std::string script = "trap 'echo done > \"$1\"; exit 3' TERM; sleep 60 & echo $! > \"$2\"; wait";
    const ProgramRun run =
        bash.Run({"-c", script, "timeout-test", cleaned.string(), childPid.string()}, {}, milliseconds(500));
    EXPECT_EQ(run.outcome, ProgramOutcome::kTimedOut);
    EXPECT_EQ(tooltest::ReadFile(cleaned), "done\n");

    // A wrapper busy with a program in the foreground runs no trap until
    // that program ends: the signal must reach the program too, so that its
    // own clean-up runs.
    const fs::path childCleaned = root / "child-cleaned";
    const std::string inner = "trap 'echo child > \"$1\"; exit 4' TERM; sleep 60 & wait";
    const ProgramRun foreground =
        bash.Run({"-c", "bash -c \"$1\" child \"$2\"; exit 0", "timeout-test", inner, childCleaned.string()}, {},
                 milliseconds(500));
    EXPECT_EQ(foreground.outcome, ProgramOutcome::kTimedOut);
    EXPECT_EQ(tooltest::ReadFile(childCleaned), "child\n");

    const pid_t child = static_cast<pid_t>(std::stol(tooltest::ReadFile(childPid)));
    auto dead = [child] {
        const std::string stat = tooltest::ReadFile("/proc/" + std::to_string(child) + "/stat");
        const size_t paren = stat.rfind(')');
        return stat.empty() || (paren != std::string::npos && stat.compare(paren + 2, 1, "Z") == 0);
    };
    for (int i = 0; i < 100 && !dead(); ++i) std::this_thread::sleep_for(milliseconds(50));
    EXPECT_TRUE(dead()) << "the wrapper's own child survived the time limit";
    fs::remove_all(root);
}

TEST_F(QrImportTest, ScreenshotWithoutAGraphicalSessionFails) {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("XDG_SESSION_TYPE");
    fs::path shot;
    {
        const QrImportTempDir dir;
        EXPECT_FALSE(TakeScreenshot(dir));
        shot = dir.ScreenshotPath();
        EXPECT_FALSE(fs::exists(shot));
    }
    EXPECT_FALSE(ReadQrFromScreen().has_value());
    EXPECT_TRUE(IsEmptyDirectory(tmp_)) << "left behind: " << DirectoryListing(tmp_);
}

// A QR code shown on the right half of a wide X screen is captured with the
// whole screen by scrn.dll and decoded by qrdecode.dll.
TEST_F(QrImportTest, ScreenCaptureUnderXvfbIsDecoded) {
    if (!ExternalProgram("Xvfb").Found()) GTEST_SKIP() << "Xvfb is not installed";
    const std::string uri = "otpauth://totp/Shop:op?secret=ONSWG4TFOQYTEMZU&issuer=Shop&period=60";
    const fs::path code = QrPng(work_ / "shown.png", uri, {"-s", "6"});

    Background server;
    const std::string display = StartXvfb(server, "1600x600x24");
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    setenv("DISPLAY", display.c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("XDG_SESSION_TYPE");
    Background viewer;
    ASSERT_TRUE(viewer.Start({"display", "-geometry", "+1000+100", code.string()}));

    // The viewer maps its window some time after it starts; until then the
    // screen is empty.
    std::string text;
    std::pair<uint32_t, uint32_t> size;
    for (int attempt = 0; attempt < 40 && text != uri; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(milliseconds(250));
        const QrImportTempDir dir;
        if (!TakeScreenshot(dir)) continue;
        size = PngSize(dir.ScreenshotPath());
        text = RunQrDecoder(dir.ScreenshotPath(), dir);
    }
    EXPECT_EQ(text, uri);
    EXPECT_EQ(size, (std::pair<uint32_t, uint32_t>(1600, 600)));
    ExpectFields(InterpretQrText(text), Expected{"ONSWG4TFOQYTEMZU", "shop", kAlgorithmSha1, kTimeStep60s}, "screen");
    const std::optional<OtpauthFields> whole = ReadQrFromScreen();
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(whole->seed, "ONSWG4TFOQYTEMZU");
    EXPECT_TRUE(IsEmptyDirectory(tmp_)) << "left behind: " << DirectoryListing(tmp_);
}
