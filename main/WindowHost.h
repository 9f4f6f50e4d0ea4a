// The program's top-level window: the main window (TForm1) inside a scroll area, so that
// every control can be reached on a screen lower than the window (a 1366 x 768 laptop
// with its taskbar leaves 728 pixels). The host takes the form's title and icon, is as
// large as the form where the screen's available area allows and scrolls where it does
// not, follows the form when it grows (a panel opened below) and closes the form with
// itself.
#pragma once

#include <QRect>
#include <QScrollArea>

class TForm1;

class TWindowHost : public QScrollArea {
    Q_OBJECT
  public:
    // Takes Form as its content (and owns it).
    explicit TWindowHost(TForm1* Form, QWidget* Parent = nullptr);

    TForm1& Form() const { return *FForm; }
    // Sizes the window to the form, at most Available less the window frame.
    void FitTo(const QRect& Available);

  protected:
    void closeEvent(QCloseEvent* Event) override;
    void showEvent(QShowEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

  private:
    QRect Available() const;
    TForm1* FForm;
    bool FPlaced = false;
};
