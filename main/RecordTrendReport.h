// The window's recording, trends and site report, in the status bar below the designed
// area: "记录" (the recorder on or off, remembered), "打开记录文件夹", "趋势图",
// "现场报告…", and a label that says what the recorder does.
//
// It observes the monitor with the recorder and the session history, and keeps the
// recorder's settings in Recording.ini beside the line settings file:
//   [Recording]
//   Enabled=true        ; the "记录" switch
//   Folder=             ; empty: $XDG_DATA_HOME/AirConTool/recordings
//   SizeLimitMB=500     ; all recordings together; the oldest go first
//   [Report]
//   Site=, Engineer=, Notes=   ; what the last report said, offered for the next
//
// "现场报告…" asks for the site, the engineer and notes, then for the file; when the
// session lacks identity or parameters read since the link opened, it reads them first
// (one at a time beside the polling, never while the tool only listens) and writes the
// report when they are in.
#pragma once

#include <QObject>
#include <QString>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

#include "History.h"
#include "LinkCounters.h"
#include "Monitor.h"
#include "ReadJob.h"
#include "Recorder.h"
#include "Session.h"
#include "SiteReport.h"

class QCheckBox;
class QLabel;
class QToolButton;
class QStatusBar;
class QWidget;
class TTrendWindow;

class TRecordTrendReport : public QObject {
    Q_OBJECT

  public:
    struct TContext {
        QString SettingsFolder;             // where Recording.ini lives
        std::function<QString()> PortName;  // the port of the link, for the report
        std::function<bool()> LinkOpen;
        // The link counters the window shows, for the report (none: the report has none).
        std::function<std::optional<aircon::TLinkCountersData>()> Counters;
        // The session's mode (none: polling one controller).
        std::function<aircon::TSessionMode()> Mode = {};
    };

    // Owner: the window, parent of the dialogs and the trend window.
    TRecordTrendReport(aircon::TMonitor& Monitor, aircon::IClock& Clock, QWidget* Owner,
                       TContext Context);
    ~TRecordTrendReport() override;

    // Adds the controls to the right end of the status bar.
    void AddTo(QStatusBar* Bar);

    static QString SettingsFileIn(const QString& Folder);  // <Folder>/Recording.ini
    // Closes the recorder, waiting its close timeout at most. When the wait runs out, the
    // rows not written are told on Err (standard error at the end of the program, when
    // nobody is left to show them); false then.
    static bool CloseRecorder(aircon::TRecorder& Recorder, std::FILE* Err);

    aircon::TRecorder& Recorder() { return *FRecorder; }
    const aircon::THistory& History() const { return FHistory; }
    QCheckBox* RecordBox() const { return FRecord; }
    QLabel* StatusLabel() const { return FStatus; }
    QToolButton* FolderButton() const { return FFolderButton; }
    QToolButton* TrendButton() const { return FTrendButton; }
    QToolButton* ReportButton() const { return FReportButton; }
    // The trend window, made on first use.
    TTrendWindow* TrendWindow();
    void ShowTrends();
    void OpenFolder();
    // Asks for a PDF path (unless one is given) and writes the site report.
    bool WriteReport(QString Path = {});
    // What the report is written from, as of now.
    TSiteReportData ReportData() const;

    // The button: asks for the details and the file (Path given: that file), reads what
    // the report lacks, then writes it. False when the engineer cancelled.
    bool StartReport(QString Path = {});
    bool ReportReading() const { return FReads != nullptr; }
    // The details of the last report (remembered in Recording.ini).
    const TReportDetails& Details() const { return FDetails; }
    // Asks for the details; the dialog unless a test puts its own answer here.
    std::function<bool(TReportDetails&)> AskDetails;
    // A report was written (true) or could not be (false), after StartReport.
    std::function<void(bool Written)> OnReportDone;

  private:
    void SetRecording(bool On);
    void OnRecordingEvent(const aircon::TRecordingEvent& Event);
    void ShowStatus(const QString& Text, const QString& Tip, bool Error);
    void LoadSettings();
    bool AskDetailsDialog(TReportDetails& Details);
    void FinishReport(const QString& Path);

    aircon::TMonitor& FMonitor;
    QWidget* FOwner;
    TContext FContext;
    QString FSettingsFile;
    aircon::THistory FHistory;
    std::unique_ptr<aircon::TRecorder> FRecorder;
    TTrendWindow* FTrends = nullptr;
    QCheckBox* FRecord = nullptr;
    QLabel* FStatus = nullptr;
    QToolButton* FFolderButton = nullptr;
    QToolButton* FTrendButton = nullptr;
    QToolButton* FReportButton = nullptr;
    QString FCurrentFile;
    bool FErrorShown = false;  // the first recording error got its message box
    bool FErrorStanding = false;
    TReportDetails FDetails;
    std::unique_ptr<aircon::TReadJob> FReads;
    QString FReadsNote;
};
