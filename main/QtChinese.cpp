#include "QtChinese.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

bool LoadQtChinese(QCoreApplication& App, QString* Error) {
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    // "qt_zh_CN" gathers the catalogues of the Qt modules ("qtbase_zh_CN", ...).
    const QLocale chinese(QLocale::Chinese, QLocale::SimplifiedChineseScript, QLocale::China);
    auto* translator = new QTranslator(&App);
    if (translator->load(chinese, QStringLiteral("qt"), QStringLiteral("_"), folder) ||
        translator->load(chinese, QStringLiteral("qtbase"), QStringLiteral("_"), folder)) {
        QCoreApplication::installTranslator(translator);
        return true;
    }
    delete translator;
    if (Error)
        *Error = QStringLiteral("Qt's Chinese translations (qt_zh_CN.qm) were not found in %1")
                     .arg(QDir::toNativeSeparators(folder));
    return false;
}
