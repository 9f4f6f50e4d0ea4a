// The hexadecimal log box against the multi-line text box it stands in for: the same
// picture for the same frame, the same wrapping and scrolling, and the frame copied;
// part of a frame selected with the mouse and copied; and the box as assistive
// technology sees it.
#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QLineEdit>
#include <QMouseEvent>
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

    // An engineer drags over the INFO bytes and copies them. While the selection stands
    // the box holds its frame (the logs change with every poll); the newest frame shows
    // once it ends. Selecting and drawing the selection lay nothing out anew.
    void mouseSelectsPartOfAFrame() {
        QWidget window;
        window.resize(900, 120);
        THexLog log;
        Style(log, window);
        QLineEdit elsewhere(&window);
        elsewhere.setGeometry(47, 60, 100, 24);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QString frame =
            QStringLiteral("7E 31 30 30 31 36 30 34 32 30 30 30 30 46 44 42 34 0D ");
        log.setPlainText(frame);
        const int layouts = log.LayoutsMade();
        QWidget* view = log.viewport();
        // A quarter into a character: the place before it.
        auto centre = [&](int Offset) {
            const QRect r = log.CharacterRect(Offset);
            return QPoint(r.left() + r.width() / 4, r.center().y());
        };
        auto drag = [&](int From, int To) {
            const QPoint a = log.CharacterRect(From).topLeft() + QPoint(1, 3);
            const QPoint b = log.CharacterRect(To).topLeft() + QPoint(1, 3);
            QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, a);
            QMouseEvent move(QEvent::MouseMove, QPointF(b), QPointF(view->mapToGlobal(b)),
                             Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(view, &move);
            QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, b);
        };
        QCOMPARE(log.OffsetAt(centre(9)), 9);
        drag(9, 26);  // "30 31 36 " .. the bytes from the ninth character
        QCOMPARE(log.SelectedText(), frame.mid(9, 17));
        QApplication::clipboard()->clear();
        QTest::keyClick(&log, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), frame.mid(9, 17));

        // The next poll's frame waits while the selection stands.
        log.setPlainText(QStringLiteral("7E 32 0D "));
        QCOMPARE(log.toPlainText(), frame);
        QCOMPARE(log.SelectedText(), frame.mid(9, 17));
        log.repaint();
        QCOMPARE(log.LayoutsMade(), layouts);
        // A double click takes one byte.
        const QPoint onByte = centre(13);
        QTest::mouseDClick(view, Qt::LeftButton, Qt::NoModifier, onByte);
        QCOMPARE(log.SelectedText(), QStringLiteral("31"));
        // Esc ends the selection: the newest frame shows.
        QTest::keyClick(&log, Qt::Key_Escape);
        QCOMPARE(log.toPlainText(), QStringLiteral("7E 32 0D "));
        QCOMPARE(log.SelectedText(), QString());

        // Ctrl+A and a click elsewhere: the newest frame again.
        QTest::keyClick(&log, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(log.SelectedText(), QStringLiteral("7E 32 0D "));
        log.setPlainText(frame);
        QCOMPARE(log.toPlainText(), QStringLiteral("7E 32 0D "));
        elsewhere.setFocus(Qt::MouseFocusReason);
        QTRY_COMPARE(log.toPlainText(), frame);
        // Without a selection Ctrl+C copies the whole frame.
        log.setFocus();
        QTest::keyClick(&log, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), frame);
    }

    // Assistive technology (a screen reader, or automation reading the window) sees a
    // read-only text with the frame in it, its selection and where each character is;
    // it used to see an empty filler.
    void readableByAssistiveTechnology() {
        QAccessible::setActive(true);
        QWidget window;
        window.resize(900, 120);
        THexLog log;
        Style(log, window);
        log.setAccessibleName(QStringLiteral("发送"));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QString frame = Echo(40, false);
        log.setPlainText(frame);

        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(&log);
        QVERIFY(a);
        QCOMPARE(a->role(), QAccessible::EditableText);
        QVERIFY(a->state().readOnly);
        QVERIFY(a->state().multiLine);
        QVERIFY(!a->state().editable);
        QCOMPARE(a->text(QAccessible::Name), QStringLiteral("发送"));
        QCOMPARE(a->text(QAccessible::Value), frame);
        QAccessibleTextInterface* t = a->textInterface();
        QVERIFY(t);
        QCOMPARE(t->characterCount(), int(frame.size()));
        QCOMPARE(t->text(3, 5), frame.mid(3, 2));
        int start = 0, end = 0;
        QCOMPARE(t->textAtOffset(4, QAccessible::WordBoundary, &start, &end), frame.mid(3, 2));
        // A character's place on the screen and back.
        for (int offset : {0, 7, int(frame.size()) - 2}) {
            const QRect r = t->characterRect(offset);
            QVERIFY2(r.isValid(), qPrintable(QString::number(offset)));
            QCOMPARE(t->offsetAtPoint(QPoint(r.left() + r.width() / 4, r.center().y())), offset);
        }
        // A selection made by assistive technology is the box's, and the other way round.
        t->setSelection(0, 6, 11);
        QCOMPARE(log.SelectedText(), frame.mid(6, 5));
        QCOMPARE(t->selectionCount(), 1);
        t->selection(0, &start, &end);
        QCOMPARE(start, 6);
        QCOMPARE(end, 11);
        t->removeSelection(0);
        QCOMPARE(t->selectionCount(), 0);
        // A new frame is what it reads next.
        log.setPlainText(QStringLiteral("7E 0D "));
        QCOMPARE(a->text(QAccessible::Value), QStringLiteral("7E 0D "));
        QCOMPARE(t->characterCount(), 6);
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
