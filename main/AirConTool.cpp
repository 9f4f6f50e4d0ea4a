// Program entry: the application and its main window.
#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>

#include "AlarmSummary.h"
#include "Form1.h"
#include "MessageBoxes.h"
#include "ParamSetDialog.h"
#include "QtChinese.h"
#include "ScanDialog.h"
#include "WindowHost.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("AirConTool"));
    // No display name: the window manager shows the window's caption exactly.
    // Ties the window to its menu entry (and so its icon) on desktops that go by the app id.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.basestation.AirConTool"));
    if (QString error; !LoadQtChinese(app, &error))
        std::fprintf(stderr, "AirConTool: %s\n", qUtf8Printable(error));

    QCommandLineParser options;
    options.setApplicationDescription(
        QStringLiteral("Monitor and set up the air-conditioner controller of a base station."));
    options.addHelpOption();
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("Use the serial port PATH for this run (for example a simulator's "
                       "pseudo-terminal); the settings file keeps its own port."),
        QStringLiteral("PATH"));
    options.addOption(port);
    options.process(app);  // a wrong option: says so and ends with status 1

    // For scripts that drive the installed window (the package check): its message boxes on
    // standard error too.
    MessageBoxes::SetEchoToStandardError(qEnvironmentVariableIsSet("AIRCONTOOL_ECHO_MESSAGES"));
    auto* form = new TForm1;
    form->SetPortForThisRun(options.value(port));
    AddScanButton(*form);      // "查找设备" in the status bar
    AddAlarmSummary(*form);    // "告警汇总": its toggle in the status bar, its panel below
    AddParamSetButton(*form);  // "参数文件…" beside it
    TWindowHost window(form);  // scrolls where the screen is lower than the form
    window.show();
    return QApplication::exec();
}
