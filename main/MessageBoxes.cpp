#include "MessageBoxes.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <limits>

#include "TextConv.h"

namespace MessageBoxes {
namespace {
THook& Hook() {
    static THook hook;
    return hook;
}
bool& Echo() {
    static bool echo = false;
    return echo;
}

void Show(QWidget* Owner, const TBox& Box) {
    if (Echo())
        std::fprintf(stderr, "[%s] %s\n", qUtf8Printable(Box.Title), qUtf8Printable(Box.Text));
    if (Hook()) {
        Hook()(Owner, Box);
        return;
    }
    // The window's timers keep ticking while a box is open, and a tick that
    // fails again would stack one box on the other faster than the operator can
    // answer them. One box at a time: a failure reported while a box is open is
    // not shown again.
    static bool showing = false;
    if (showing) return;
    showing = true;
    QMessageBox box(QMessageBox::Critical, Box.Title, Box.Text, QMessageBox::Ok, Owner);
    box.exec();
    showing = false;
}
}  // namespace

void SetEchoToStandardError(bool On) {
    Echo() = On;
}

void SetHook(THook NewHook) {
    Hook() = std::move(NewHook);
}

void ShowError(QWidget* Owner, const QString& Text) {
    Show(Owner, TBox{TBoxKind::Error, QStringLiteral("错误"), Text});
}

void ShowApplicationError(QWidget* Owner, const QString& Text) {
    QString title = QGuiApplication::applicationDisplayName();
    if (title.isEmpty()) title = QCoreApplication::applicationName();
    Show(Owner, TBox{TBoxKind::ApplicationError, title, Text});
}

}  // namespace MessageBoxes

std::optional<int> TryStrToInt(QStringView Text) {
    return util::TryStrToInt(Text.toUtf8().toStdString());
}

int StrToInt(const QString& Text) {
    if (auto value = TryStrToInt(Text)) return *value;
    throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(Text));
}
