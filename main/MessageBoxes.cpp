#include "MessageBoxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <cstdio>
#include <limits>

namespace MessageBoxes {
namespace {
THook& Hook() {
    static THook hook;
    return hook;
}

void Show(QWidget* Owner, const TBox& Box) {
    // Test aid: with AIRCONTOOL_ECHO_MESSAGES set, every box is also written to standard error,
    // so that a script driving the window can read what it said.
    if (qEnvironmentVariableIsSet("AIRCONTOOL_ECHO_MESSAGES"))
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

void SetHook(THook NewHook) {
    Hook() = std::move(NewHook);
}

namespace {
TConfirmHook& ConfirmHook() {
    static TConfirmHook hook;
    return hook;
}
}  // namespace

void SetConfirmHook(TConfirmHook NewHook) {
    ConfirmHook() = std::move(NewHook);
}

bool Confirm(QWidget* Owner, const QString& Title, const QString& Text) {
    const TBox box{TBoxKind::Confirm, Title, Text};
    if (ConfirmHook()) return ConfirmHook()(Owner, box);
    if (Hook()) return true;
    QMessageBox question(QMessageBox::Question, Title, Text, QMessageBox::Yes | QMessageBox::No,
                         Owner);
    question.setDefaultButton(QMessageBox::No);
    question.button(QMessageBox::Yes)->setText(QStringLiteral("是"));
    question.button(QMessageBox::No)->setText(QStringLiteral("否"));
    return question.exec() == QMessageBox::Yes;
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
    qsizetype i = 0;
    bool negative = false;
    if (i < Text.size() && (Text[i] == u'+' || Text[i] == u'-')) {
        negative = Text[i] == u'-';
        ++i;
    }
    if (i == Text.size()) return std::nullopt;
    // Stop as soon as the magnitude leaves what 32 bits can hold (INT_MIN included).
    long long value = 0;
    for (; i < Text.size(); ++i) {
        const char16_t c = Text[i].unicode();
        if (c < u'0' || c > u'9') return std::nullopt;
        value = value * 10 + (c - u'0');
        if (value > static_cast<long long>(std::numeric_limits<int>::max()) + 1)
            return std::nullopt;
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int>::max() || value < std::numeric_limits<int>::min())
        return std::nullopt;
    return static_cast<int>(value);
}

int StrToInt(const QString& Text) {
    if (auto value = TryStrToInt(Text)) return *value;
    throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(Text));
}
