// Qt's own texts (the buttons of standard dialogs, the file dialog's "Look in", ...) in
// Chinese, whatever the system's language: the window itself is Chinese.
#pragma once

#include <QString>

class QCoreApplication;

// Installs Qt's Chinese (simplified) translations on App. False, with Error saying what
// was missing where, when no catalogue could be loaded; the window still works, with
// Qt's texts in English.
bool LoadQtChinese(QCoreApplication& App, QString* Error = nullptr);
