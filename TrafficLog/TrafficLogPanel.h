// The traffic log panel ("通讯记录"): the rows of the link's traffic, the selected row
// taken apart, and the controls to pause, clear, save and write continuously to a file.
//
// The panel owns the traffic log; whoever drives the monitoring core registers Log()
// as its observer. The log records whether or not the panel is shown; the panel
// brings its table up to date in batches, only while it is shown.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

#include "TrafficRows.h"
#include "TrafficTableView.h"

class QLabel;
class QPushButton;
class QTimer;
class QTreeWidget;
class TTrafficLogModel;
class TTrafficRowDelegate;

class TTrafficLogPanel : public QWidget {
    Q_OBJECT
  public:
    // Pacing of its own: rows reach the table at most this long after they were recorded.
    static constexpr int SyncDelayMs = 1000;
    static constexpr int DesignHeight = 300;

    explicit TTrafficLogPanel(QWidget* Parent = nullptr,
                              std::size_t Capacity = aircon::TTrafficLog::DefaultCapacity);
    ~TTrafficLogPanel() override;

    aircon::TTrafficLog& Log() { return FLog; }
    TTrafficLogModel& Model() { return *FModel; }

    // Brings the table up to the log now (otherwise done in batches while shown).
    void SyncNow();
    // Brings the table up to the log when rows came since the last time (and it is shown).
    void SyncIfChanged();
    // On (the default), the panel brings its table up to date by itself, SyncDelayMs after
    // rows came. Off, whoever hosts it calls SyncIfChanged, so that the table is painted
    // in the same pass as the rest of what the host refreshes.
    void SetOwnPacing(bool On);
    // Selects the row numbered Seq and shows its detail; false when it is not shown.
    bool SelectSeq(std::uint64_t Seq);

    // The file name for "保存…" (Save true) or "写入文件…"; empty when the operator
    // cancels. A file dialog unless replaced (tests).
    std::function<QString(bool Save, const QString& Suggested)> AskFileName;
    // A failure the operator must see; a message box titled "错误" unless replaced.
    std::function<void(const QString& Text)> ShowError;

    QPushButton* btnPause = nullptr;
    QPushButton* btnClear = nullptr;
    QPushButton* btnSave = nullptr;
    QPushButton* btnFile = nullptr;
    QLabel* lblState = nullptr;
    TTrafficTableView* grdRows = nullptr;
    QTreeWidget* tvDetail = nullptr;

    // The continuous file being written, or empty.
    QString FilePath() const { return FFilePath; }

  signals:
    // A file finished saving (Path) or could not be written (Error non-empty).
    void saveDone(const QString& Path, const QString& Error);

  protected:
    void showEvent(QShowEvent* Event) override;
    void changeEvent(QEvent* Event) override;

  private:
    void ApplyFontMetrics();
    void LogChanged();
    void ShowDetail();
    void UpdateState();
    void PauseClicked(bool Paused);
    void ClearClicked();
    void SaveClicked();
    void FileClicked(bool On);
    void StopFile();
    void Fail(const QString& Text);
    QString SuggestedName() const;

    aircon::TTrafficLog FLog;
    TTrafficLogModel* FModel = nullptr;
    TTrafficRowDelegate* FDelegate = nullptr;
    QTimer* FSyncTimer = nullptr;
    bool FOwnPacing = true;
    bool FChanged = false;  // rows came (or went) since the table was last brought up
    QString FFilePath;
    QString FStateNote;  // the last save or failure, shown beside the row count
    std::shared_ptr<aircon::TLogFileWriter> FSave;
    std::uint64_t FShownSeq = UINT64_MAX;  // the row whose detail is shown
};
