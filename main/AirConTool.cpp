// Program entry: the application and its main window.
#include <QApplication>

#include "Form1.h"
#include "MessageBoxes.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("AirConTool"));
    // No display name: the window manager shows the window's caption exactly.
    // Ties the window to its menu entry (and so its icon) on desktops that go by the app id.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.basestation.AirConTool"));
    // For scripts that drive the installed window (the package check): its message boxes on
    // standard error too.
    MessageBoxes::SetEchoToStandardError(qEnvironmentVariableIsSet("AIRCONTOOL_ECHO_MESSAGES"));
    TForm1 form;
    form.show();
    return QApplication::exec();
}
