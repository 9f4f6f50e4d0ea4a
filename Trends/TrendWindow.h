// The trend window: any readings and switch states of either unit over the session,
// live while polling, or of a recording file opened from disk.
#pragma once

#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>

#include "History.h"
#include "TrendChart.h"

class QCheckBox;
class QLabel;
class QListWidget;
class QPushButton;
class QThread;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

class TTrendWindow : public QWidget {
    Q_OBJECT

  public:
    // Live: the history the window keeps of the session (not owned; may be nullptr).
    explicit TTrendWindow(const aircon::THistory* Live, QWidget* Parent = nullptr);
    ~TTrendWindow() override;

    TTrendChart* Chart() const { return FChart; }
    QListWidget* AlarmList() const { return FAlarms; }
    // "告警标记": the alarm changes marked on the chart.
    QCheckBox* AlarmMarksBox() const { return FMarks; }
    // The series shown (SeriesIndex), also as ticks in the list.
    void SetSelected(const std::vector<int>& Series);
    std::vector<int> Selected() const;

    // Where "打开记录…" starts.
    void SetRecordingFolder(const QString& Folder) { FFolder = Folder; }
    // Reads a recording file in the background and shows it; a file that cannot be read
    // gives one clear message and leaves the view as it was.
    void OpenFile(const QString& Path);
    bool Loading() const { return FLoader != nullptr; }
    // Back to the session's live data.
    void ShowLive();
    bool ShowingFile() const { return FFileHistory != nullptr; }
    QString SourceText() const;

    // Receives the messages instead of a message box when set (the window, tests).
    std::function<void(const QString& Title, const QString& Text)> OnMessage;

  signals:
    void FileOpened(bool Ok);

  protected:
    void showEvent(QShowEvent* E) override;

  private:
    void BuildChooser();
    void SelectionChanged();
    void Tick();
    void UpdateAlarmList(bool Rebuild);
    void Show(const aircon::THistory* History);
    void FileRead(const QString& Path, std::shared_ptr<aircon::THistory> History,
                  std::shared_ptr<aircon::TRecordingLoad> Result);
    void Message(const QString& Title, const QString& Text);
    const aircon::THistory* Current() const;

    const aircon::THistory* FLive;
    std::shared_ptr<aircon::THistory> FFileHistory;
    QString FFileName;
    QString FFileNote;
    QString FFolder;
    TTrendChart* FChart;
    QTreeWidget* FChooser;
    QListWidget* FAlarms;
    QLabel* FSource;
    QPushButton* FLiveButton;
    QPushButton* FOpenButton;
    QCheckBox* FMarks;
    QTimer* FTimer;
    QThread* FLoader = nullptr;
    std::atomic<bool> FCancel{false};
    std::size_t FAlarmsShown = 0;
    bool FUpdatingTicks = false;
};
