// The hexadecimal log box against the multi-line text box it stands in for: the same
// picture for the same frame, the same wrapping and scrolling, and the frame copied.
#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>

#include "HexLog.h"

namespace {

// A frame's echo as the logs show it: two digits and a space per character.
QString Echo(int Characters, bool LeadingSpace) {
    QString text = LeadingSpace ? QStringLiteral(" ") : QString();
    for (int i = 0; i < Characters; ++i)
        text += QStringLiteral("%1 ").arg(0x30 + i % 10, 2, 16).toUpper();
    return text;
}

// Both boxes as the window makes them: the design size, the scroll bar always shown,
// the window's font without text shaping.
template <class T>
void Style(T& Box, QWidget& Parent) {
    Box.setParent(&Parent);
    Box.setGeometry(47, 10, 762, 37);
    Box.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont font = Parent.font();
    font.setStyleStrategy(QFont::PreferNoShaping);
    Box.setFont(font);
}

}  // namespace

class HexLogTest : public QObject {
    Q_OBJECT
  private slots:
    void looksLikeATextBox_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("scroll");  // lines scrolled down
        QTest::newRow("empty") << QString() << 0;
        QTest::newRow("command, 18 characters") << Echo(18, false) << 0;
        QTest::newRow("reply, 42 characters") << Echo(42, true) << 0;
        QTest::newRow("reply, 94 characters, two lines") << Echo(94, true) << 0;
        QTest::newRow("94 characters scrolled") << Echo(94, true) << 1;
        QTest::newRow("largest reply, 1024 characters") << Echo(1024, true) << 0;
        QTest::newRow("1024 characters scrolled one line") << Echo(1024, true) << 1;
        QTest::newRow("1024 characters scrolled five lines") << Echo(1024, true) << 5;
        QTest::newRow("1024 characters scrolled to the end") << Echo(1024, true) << 100;
    }
    void looksLikeATextBox() {
        QFETCH(QString, text);
        QFETCH(int, scroll);
        QWidget window;
        QFont font;
        font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("WenQuanYi Micro Hei")});
        font.setPixelSize(11);
        window.setFont(font);
        window.resize(817, 60);
        QPlainTextEdit memo;
        THexLog log;
        Style(memo, window);
        Style(log, window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // Compared without the text box's caret, which only its focus shows.
        memo.setReadOnly(true);
        memo.setPlainText(text);
        log.setPlainText(text);
        QCOMPARE(log.toPlainText(), text);
        QCoreApplication::processEvents();
        // The same lines and the same scrolling, a line at a time.
        QCOMPARE(log.verticalScrollBar()->maximum(), memo.verticalScrollBar()->maximum());
        QCOMPARE(log.verticalScrollBar()->pageStep(), memo.verticalScrollBar()->pageStep());
        memo.verticalScrollBar()->setValue(scroll);
        log.verticalScrollBar()->setValue(scroll);
        QCOMPARE(log.verticalScrollBar()->value(), memo.verticalScrollBar()->value());
        QCoreApplication::processEvents();
        const QImage expected = memo.grab().toImage();
        const QImage shown = log.grab().toImage();
        QCOMPARE(shown.size(), expected.size());
        if (shown != expected) {
            int differ = 0;
            for (int y = 0; y < shown.height(); ++y)
                for (int x = 0; x < shown.width(); ++x)
                    if (shown.pixel(x, y) != expected.pixel(x, y)) ++differ;
            shown.save(QStringLiteral("hexlog-shown.png"));
            expected.save(QStringLiteral("hexlog-expected.png"));
            QFAIL(qPrintable(QStringLiteral("%1 pixels differ").arg(differ)));
        }
    }

    // The operator can take the frame: Ctrl+C copies the whole text.
    void copiesTheFrame() {
        THexLog log;
        log.resize(762, 37);
        log.setPlainText(QStringLiteral("7E 31 30 0D "));
        QApplication::clipboard()->clear();
        QTest::keyClick(&log, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("7E 31 30 0D "));
    }

    // A frame shown again (the poll commands come round) is not laid out anew, and
    // a new width wraps the text anew.
    void widthWrapsAnew() {
        THexLog log;
        log.resize(762, 37);
        log.show();
        QVERIFY(QTest::qWaitForWindowExposed(&log));
        const QString text = Echo(94, true);
        log.setPlainText(text);
        const int wide = log.LineCount();
        log.resize(300, 37);
        QVERIFY(log.LineCount() > wide);
        log.resize(762, 37);
        QCOMPARE(log.LineCount(), wide);
    }
};

QTEST_MAIN(HexLogTest)
#include "hex_log_test.moc"
