// Every message box of the window goes through here, so that a test (or any
// other host) can take the messages instead of a modal dialog.
#pragma once

#include <QString>
#include <functional>
#include <optional>
#include <string_view>

class QWidget;

namespace MessageBoxes {

enum class TBoxKind {
    Error,             // owned by the window, title "错误", error icon, OK button
    ApplicationError,  // the application's standard error box (conversion failures)
};

struct TBox {
    TBoxKind Kind;
    QString Title;
    QString Text;
};

// When a hook is set, it receives every box instead of the dialog.
using THook = std::function<void(QWidget* Owner, const TBox& Box)>;
void SetHook(THook Hook);
// With On, every box is also written to standard error ("[title] text"), so that a script
// driving the window can read what it said. Off unless the program entry turns it on.
void SetEchoToStandardError(bool On);

// "错误" box with error icon and an OK button, owned by Owner.
void ShowError(QWidget* Owner, const QString& Text);
// The application's standard error box: the application's title and the text.
void ShowApplicationError(QWidget* Owner, const QString& Text);

}  // namespace MessageBoxes

// The failure of an integer conversion, carrying the message the operator sees.
class EConvertError {
  public:
    explicit EConvertError(QString Message) : FMessage(std::move(Message)) {}
    const QString& Message() const { return FMessage; }

  private:
    QString FMessage;
};

// Converts the whole text as a signed 32-bit decimal number: an optional "+" or
// "-" and one or more digits 0-9, nothing else (no blanks, no hexadecimal).
std::optional<int> TryStrToInt(QStringView Text);
// Same, throwing EConvertError("'<text>' is not a valid integer value").
int StrToInt(const QString& Text);
