// Program entry: the application and its main window.
#include <QApplication>

#include "Form1.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("AirConTool"));
    // No display name: the window manager shows the window's caption exactly.
    // Ties the window to its menu entry (and so its icon) on desktops that go by the app id.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.basestation.AirConTool"));
    TForm1 form;
    form.show();
    return QApplication::exec();
}
