// "查找设备": the window's dialog over the core's scan of rates and addresses. The operator
// chooses the range and the rates, follows the progress with the time left, may stop at
// any moment, and takes a found controller's rate and address into the window with "使用".
// The port's settings before the scan come back when it ends or is stopped; automatic
// polling pauses while it runs and resumes after it.
#pragma once

#include <QDialog>
#include <array>
#include <memory>

#include "QtClock.h"
#include "Scan.h"

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTableWidget;
class TForm1;

class TScanDialog : public QDialog {
    Q_OBJECT
  public:
    // The rates offered, each a check box ("cbRate9600"), all ticked.
    static constexpr std::array<TBaudRate, 5> Rates{TBaudRate::Br1200, TBaudRate::Br2400,
                                                    TBaudRate::Br4800, TBaudRate::Br9600,
                                                    TBaudRate::Br19200};

    explicit TScanDialog(TForm1& Form);
    ~TScanDialog() override;

    // "开始": scans the window's open link with the chosen range and rates.
    void btnStartClick();
    // "停止"
    void btnStopClick();
    // "使用": the chosen row's rate and address into the window's boxes; the dialog closes.
    void btnUseClick();
    // "关闭", Escape, the close box: a running scan stops, the port's settings come back.
    void reject() override;

    aircon::TScan* Scan() const { return FScan.get(); }
    bool Running() const { return FScan && FScan->Running(); }

  private:
    void ShowProgress(const aircon::TScanProgress& Progress);
    void ShowFound(const aircon::TScanFound& Found);
    void Finished(aircon::TScanEnd End);
    void UpdateButtons();

    TForm1& FForm;
    aircon::TQtClock FClock;
    aircon::TSessionScanLine FLine;
    std::unique_ptr<aircon::TScan> FScan;

    QSpinBox* edFirst = nullptr;
    QSpinBox* edLast = nullptr;
    std::array<QCheckBox*, Rates.size()> cbRates{};
    QSpinBox* edMargin = nullptr;
    QPushButton* btnStart = nullptr;
    QPushButton* btnStop = nullptr;
    QProgressBar* pbProgress = nullptr;
    QLabel* lblProgress = nullptr;
    QTableWidget* tblFound = nullptr;
    QPushButton* btnUse = nullptr;
    QPushButton* btnClose = nullptr;
};

// Puts the button "查找设备" at the right end of the window's status bar; it opens the
// dialog (modal).
void AddScanButton(TForm1& Form);
