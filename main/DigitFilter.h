// The digit filter of the number boxes. Every way text can enter such a box goes
// through one handler (the window's edIntKeyPress): a typed key, text pasted by
// keyboard (Ctrl+V, Shift+Insert), by the box's context menu or by the middle mouse
// button, and text dropped with the mouse. Typed characters other than digits and
// backspace are discarded; of pasted or dropped text only the digits go in.
// Keys that type nothing (Delete, arrows, Home, shortcuts other than paste) pass.
#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QLineEdit;

class TDigitFilter : public QObject {
  public:
    // KeyPress: the handler that keeps a character or sets it to the null character.
    using TKeyPress = std::function<void(QObject* Sender, QChar& Key)>;
    TDigitFilter(TKeyPress KeyPress, QObject* Owner);

    void Attach(QLineEdit* Edit);
    // The characters of Text that the handler keeps, control characters left out.
    QString Filter(QObject* Sender, const QString& Text) const;

  protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

  private:
    bool KeyPress(QLineEdit* Edit, QEvent* Event);
    bool ContextMenu(QLineEdit* Edit, QEvent* Event);
    bool Drop(QLineEdit* Edit, QEvent* Event);
    void InsertFiltered(QLineEdit* Edit, const QString& Text) const;

    TKeyPress FKeyPress;
};
