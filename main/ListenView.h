// The window's listening controls, first in its status bar: the switch "监听" (listen to
// another master, nothing written) and "打开抓包文件…", which replays a capture file into
// the traffic log, the panels and the trend window, at once, while the link is closed.
#pragma once

#include <QObject>
#include <QString>

class QCheckBox;
class QPushButton;
class QStatusBar;
class TForm1;

class TListenView : public QObject {
    Q_OBJECT
  public:
    TListenView(TForm1& Form, QStatusBar* Bar);

    QCheckBox* Switch() const { return FSwitch; }
    QPushButton* ReplayButton() const { return FReplay; }
    // The controls follow the window: the switch shows the mode, a replay waits for a
    // closed link.
    void Sync(bool Listening, bool LinkOpen);
    // Replays the capture file at Path into the window (the button's work once a file is
    // chosen). A file that cannot be read, or is damaged, is named in an error box after
    // what comes before the damage was replayed. False when the link is open or the file
    // held nothing that could be replayed.
    bool Replay(const QString& Path);

  private:
    void ChooseAndReplay();

    TForm1& FForm;
    QCheckBox* FSwitch = nullptr;
    QPushButton* FReplay = nullptr;
};
