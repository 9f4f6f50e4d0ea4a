// Program entry: the application and its main window.
#include <QApplication>

#include "Form1.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("AirConTool"));
    TForm1 form;
    form.show();
    return QApplication::exec();
}
