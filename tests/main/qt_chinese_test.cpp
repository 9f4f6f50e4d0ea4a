// Qt's own dialog texts come in Chinese whatever the system's language.
#include <QCoreApplication>
#include <QLocale>
#include <QTest>

#include "QtChinese.h"

class QtChineseTest : public QObject {
    Q_OBJECT
  private slots:
    void chineseOnAnEnglishSystem() {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        const struct {
            const char* Context;
            const char* Source;
        } texts[] = {{"QPlatformTheme", "OK"},
                     {"QPlatformTheme", "Save"},
                     {"QFileDialog", "Look in:"},
                     {"QPlatformTheme", "Cancel"}};
        for (const auto& t : texts)
            QCOMPARE(QCoreApplication::translate(t.Context, t.Source), QLatin1String(t.Source));
        QString error;
        QVERIFY2(LoadQtChinese(*QCoreApplication::instance(), &error), qPrintable(error));
        for (const auto& t : texts) {
            const QString shown = QCoreApplication::translate(t.Context, t.Source);
            QVERIFY2(shown != QLatin1String(t.Source), t.Source);
            // Chinese: characters of the CJK block.
            QVERIFY2(
                std::any_of(shown.begin(), shown.end(),
                            [](QChar c) { return c.unicode() >= 0x4E00 && c.unicode() <= 0x9FFF; }),
                qPrintable(shown));
        }
    }
};

QTEST_MAIN(QtChineseTest)
#include "qt_chinese_test.moc"
