// The part of the QR import that needs no dialog: a private temporary
// directory per run and the two helper programs (qrdecode.dll decodes an
// image, scrn.dll saves a screenshot); the rules that turn their text into
// profile form values are OtpauthText's. The dialog clears the seed field,
// minimises or restores its window, shows the messages below and copies
// OtpauthFields into its controls.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "import/ExternalProgram.h"
#include "formats/OtpauthText.h"

namespace provisor {

// Texts the dialog shows (message boxes without an icon, system-modal).
inline constexpr const char* kQrMessageCaption = "Ferrant Keyloom";
inline constexpr const char* kQrNotDetectedMessage =
    "No QR code detected. Please check the image/screen  and try again.";
inline constexpr const char* kQrAddedMessage = "QR code detected and added";

inline constexpr const char* kQrDecoderProgram = "qrdecode.dll";
inline constexpr const char* kScreenshotProgram = "scrn.dll";
inline constexpr const char* kScreenshotFileName = "FRQR.png";
inline constexpr const char* kDecoderOutputFileName = "FRQR.tmp";

// The decoder retries inverted and shrunk copies of large images; a few
// seconds is normal, this is the point where it is considered hung.
inline constexpr std::chrono::milliseconds kQrDecodeTimeLimit{30000};
inline constexpr std::chrono::milliseconds kScreenshotTimeLimit{20000};

// A directory of one import run: "provisor-qr-XXXXXX" made with mkdtemp
// (mode 0700) under $TMPDIR when that is an absolute, usable directory,
// else under /tmp. It holds FRQR.png and FRQR.tmp; the destructor removes
// the directory with everything in it, on every path out of the run.
class QrImportTempDir {
public:
    QrImportTempDir();
    ~QrImportTempDir();
    QrImportTempDir(const QrImportTempDir&) = delete;
    QrImportTempDir& operator=(const QrImportTempDir&) = delete;

    // False when no directory could be created; the run then finds no code.
    bool Valid() const { return !m_path.empty(); }
    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path ScreenshotPath() const { return m_path / kScreenshotFileName; }
    std::filesystem::path DecoderOutputPath() const { return m_path / kDecoderOutputFileName; }

private:
    std::filesystem::path m_path;
};

// Runs "qrdecode.dll IMAGE" with its standard output in dir's FRQR.tmp and
// returns the first whitespace-delimited word of that file. The decoder's
// exit status does not matter; a decoder that is missing, cannot start or
// outlives timeLimit, and a missing or empty output file, all give "".
std::string RunQrDecoder(const std::filesystem::path& image, const QrImportTempDir& dir,
                         std::chrono::milliseconds timeLimit = kQrDecodeTimeLimit);
// The same with a given decoder program.
std::string RunQrDecoder(const ExternalProgram& decoder, const std::filesystem::path& image, const QrImportTempDir& dir,
                         std::chrono::milliseconds timeLimit = kQrDecodeTimeLimit);

// Runs "scrn.dll savescreenshotfull <dir>/FRQR.png" and waits for it to end
// (at most timeLimit). True when it succeeded and FRQR.png is a non-empty
// file. The caller minimises its window first so the picture shows what
// lies beneath it.
bool TakeScreenshot(const QrImportTempDir& dir, std::chrono::milliseconds timeLimit = kScreenshotTimeLimit);
bool TakeScreenshot(const ExternalProgram& screenshotter, const QrImportTempDir& dir,
                    std::chrono::milliseconds timeLimit = kScreenshotTimeLimit);

// Whole runs for the two buttons, each in a temporary directory of its own
// that is gone when they return. No value means the dialog shows
// kQrNotDetectedMessage.
std::optional<OtpauthFields> ReadQrFromImageFile(const std::filesystem::path& image);
std::optional<OtpauthFields> ReadQrFromScreen();

}  // namespace provisor
