// The outcome of the operator's remote-control and set-parameter commands, shown where
// the command was given until the next action there: sent, accepted, refused with the
// reply's RTN text, or no reply; a set that the controller accepted is read back (0x47)
// by a parameter job, which says whether the controller holds the value. Beside the
// parameter editor: the chosen parameter's value as last read. The labels sit at fixed
// places inside the designed group boxes and change only with these commands.
#pragma once

#include <QObject>
#include <cstdint>
#include <memory>
#include <optional>

#include "Events.h"
#include "Model.h"
#include "ParamJob.h"

class QGroupBox;
class QLabel;
namespace aircon {
class TMonitor;
}

class TCommandOutcomes : public QObject, private aircon::IMonitorObserver {
    Q_OBJECT
  public:
    TCommandOutcomes(aircon::TMonitor& Monitor, QObject* Parent = nullptr);
    ~TCommandOutcomes() override;

    // Places the labels: below the remote-control buttons, below the "设置" button, and
    // beside the value box of the editor.
    void Place(QGroupBox* Remote, QGroupBox* Editor);

    // The operator's remote command (0x45 with its code) was queued.
    void RemoteQueued(TIntCMD Item);
    // The operator's set: written and read back by a parameter job.
    void SetParam(std::uint8_t Code, std::uint16_t Value);
    // The editor's parameter changed (list index): its current value beside the box.
    void ShowCurrent(int Index);

    QLabel* RemoteLabel() const { return FRemote; }
    QLabel* SetLabel() const { return FSet; }
    QLabel* CurrentLabel() const { return FCurrent; }
    const aircon::TParamJob* Job() const { return FJob.get(); }

  private:
    void OnCommandSent(const aircon::TCommandSent& Sent) override;
    void OnReplyReceived(const aircon::TReplyReceived& Reply) override;
    void OnReplyMissing(const aircon::TReplyMissing& Missing) override;
    void OnLinkClosed(const aircon::TLinkClosed& Closed) override;
    void ShowRemote(const QString& Text);
    void ShowJob();

    aircon::TMonitor& FMonitor;
    QLabel* FRemote = nullptr;
    QLabel* FSet = nullptr;
    QLabel* FCurrent = nullptr;
    int FIndex = 0;  // the editor's parameter

    enum class TRemote { None, Queued, Sent, Done };
    TRemote FRemoteState = TRemote::None;
    TIntCMD FRemoteItem;
    std::unique_ptr<aircon::TParamJob> FJob;
    std::optional<aircon::TUserParams> FParams;  // the last 0x47 read
};
