// Drives the real main dialog offscreen the way an operator does (clicks,
// fields, lists), and reads back what the operator and the token in the
// virtual reader hold afterwards. Used by the fault campaign and the soak.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <cstdio>
#include <filesystem>
#include <string>

#include "dialog/CProvisorDlg.h"
#include "provisioning/Provisioning.h"
#include "SimControl.h"
#include "ToolTestFiles.h"

namespace tooltest {

class DialogDriver {
public:
    explicit DialogDriver(provisor::CProvisorDlg& dialog) : dlg(dialog) {}

    template <typename W>
    W* Control(int id) const {
        return qobject_cast<W*>(dlg.ControlWidget(id));
    }
    QComboBox* Readers() const { return Control<QComboBox>(1018); }
    QString Serial() const { return Control<QLabel>(1006)->text(); }
    QTableWidget* Results() const { return Control<QTableWidget>(1011); }
    int Rows() const { return Results()->rowCount(); }
    // "Serial Number" and "State" of a row, 0 being the newest.
    QString RowState(int row = 0) const {
        QTableWidgetItem* item = Results()->item(row, 1);
        return item ? item->text() : QString();
    }
    QString Progress() const { return Control<QLabel>(1084)->text(); }
    // Total, Success, Fail.
    QString Counters() const {
        return Control<QLabel>(1008)->text() + "/" + Control<QLabel>(1009)->text() + "/" +
               Control<QLabel>(1010)->text();
    }

    void Click(int id) const { QTest::mouseClick(Control<QPushButton>(id), Qt::LeftButton); }
    void SetText(int id, const QString& text) const { Control<QLineEdit>(id)->setText(text); }
    void Select(int id, int index) const { Control<QComboBox>(id)->setCurrentIndex(index); }

    // Picks reader `index` and presses "connect"; true once the token's
    // serial number shows.
    bool ConnectTo(int index, const QString& serial, int timeoutMs = 10000) const {
        if (!QTest::qWaitFor([&] { return Readers()->count() > index; }, timeoutMs)) return false;
        Readers()->setCurrentIndex(index);
        Click(1019);
        return QTest::qWaitFor([&] { return Serial() == serial; }, timeoutMs);
    }

    // Starts a bulk run of `content` (written to `file`) and waits until the
    // run has ended: the button is usable again and the progress has moved.
    bool RunBulk(const std::filesystem::path& file, const std::string& content, int timeoutMs = 60000) const {
        WriteFile(file, content);
        Control<QCheckBox>(1087)->setChecked(true);
        SetText(1003, QString::fromStdString(file.string()));
        Control<QLabel>(1084)->setText(QString());
        Click(1021);
        // Refused or not authenticated: no run starts.
        if (!QTest::qWaitFor([&] { return !Progress().isEmpty(); }, 3000)) return false;
        return QTest::qWaitFor(
            [&] { return !Progress().isEmpty() && Control<QPushButton>(1021)->isEnabled() && !dlg.Session().g_busy; },
            timeoutMs);
    }

    provisor::CProvisorDlg& dlg;
};

// One profile as the token reports it (80 41 .. 01 70), read over a
// connection of the test's own.
struct TokenProfile {
    bool read = false;
    int algorithm = 0;  // 1 SHA1, 2 SHA256
    int timeStep = 0;
    int digits = 0;
    std::string title;
    bool seed = false;
    bool operator==(const TokenProfile&) const = default;
};

inline TokenProfile FreshProfile() { return {true, 1, 30, 6, "", false}; }

inline TokenProfile ReadTokenProfile(int sim, int profile) {
    TokenProfile p;
    try {
        norvik::simtest::PcscCard card(norvik::simtest::ReaderName(sim));
        char apdu[32];
        std::snprintf(apdu, sizeof apdu, "80 41 00 %02X 01 70", profile);
        const norvik::simtest::Bytes r = card.Transmit(norvik::simtest::Hex(apdu));
        if (r.size() != 35 || norvik::simtest::StatusWord(r) != 0x9000) return p;
        p.read = true;
        p.algorithm = r[5];
        p.timeStep = r[6];
        p.digits = r[7];
        p.title.assign(reinterpret_cast<const char*>(&r[9]), std::min<size_t>(r[8], 12));
        p.seed = r[32] != 0;
    } catch (const std::exception&) {}
    return p;
}

inline std::ostream& operator<<(std::ostream& os, const TokenProfile& p) {
    return os << (p.read ? "" : "(unread) ") << "alg " << p.algorithm << ", " << p.timeStep << " s, " << p.digits
              << " digits, title \"" << p.title << "\", " << (p.seed ? "seed" : "no seed");
}

}  // namespace tooltest
