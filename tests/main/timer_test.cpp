// The timer rule on the Qt clock (real time), the integer conversion and the message boxes.
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <limits>

#include "MessageBoxes.h"
#include "QtClock.h"

class TimerTest : public QObject {
    Q_OBJECT
  private:
    // Ticks of a timer, stamped in ms from the start of the test.
    struct TTicks {
        QElapsedTimer Clock;
        std::vector<qint64> At;
        void Attach(aircon::TTimer& Timer) {
            Clock.start();
            Timer.OnTimer = [this] { At.push_back(Clock.elapsed()); };
        }
    };

  private slots:
    void sameValueKeepsCountdown() {
        aircon::TQtClock clock;
        aircon::TTimer timer(clock, 1000, true);
        timer.SetInterval(400);
        TTicks ticks;
        ticks.Attach(timer);
        timer.SetEnabled(false);
        timer.SetEnabled(true);  // off to on: countdown from now
        ticks.Clock.restart();
        QTest::qWait(250);
        // Same interval and same flag late in the countdown: the first tick still
        // comes at ~400 ms, not ~650 ms as a restart would make it.
        timer.SetInterval(400);
        timer.SetEnabled(true);
        QVERIFY(QTest::qWaitFor([&] { return !ticks.At.empty(); }, 3000));
        QVERIFY2(ticks.At[0] < 400 + 200, qPrintable(QString::number(ticks.At[0])));
        QVERIFY(ticks.At[0] >= 390);
    }

    void newIntervalRestartsCountdown() {
        aircon::TQtClock clock;
        aircon::TTimer timer(clock, 1000, true);
        timer.SetInterval(600);
        TTicks ticks;
        ticks.Attach(timer);
        timer.SetEnabled(false);
        timer.SetEnabled(true);
        ticks.Clock.restart();
        QTest::qWait(200);
        QVERIFY(ticks.At.empty());
        const qint64 changed = ticks.Clock.elapsed();
        timer.SetInterval(601);  // a new value: the countdown starts afresh now
        QVERIFY(QTest::qWaitFor([&] { return !ticks.At.empty(); }, 3000));
        QVERIFY2(ticks.At[0] >= changed + 590, qPrintable(QString::number(ticks.At[0])));
    }

    void offStopsAndZeroNeverFires() {
        aircon::TQtClock clock;
        aircon::TTimer timer(clock, 1000, true);
        TTicks ticks;
        ticks.Attach(timer);
        timer.SetInterval(50);
        QVERIFY(QTest::qWaitFor([&] { return ticks.At.size() >= 2; }, 3000));
        timer.SetEnabled(false);
        QVERIFY(!timer.Running());
        std::size_t seen = ticks.At.size();
        QTest::qWait(200);
        QCOMPARE(ticks.At.size(), seen);

        timer.SetInterval(0);
        timer.SetEnabled(true);  // on, but an interval of 0 never fires
        QVERIFY(!timer.Running());
        QTest::qWait(200);
        QCOMPARE(ticks.At.size(), seen);
        timer.SetInterval(-5);  // nor does a negative one
        QTest::qWait(100);
        QCOMPARE(ticks.At.size(), seen);

        timer.SetInterval(40);  // a usable interval starts it again
        QVERIFY(QTest::qWaitFor([&] { return ticks.At.size() > seen; }, 3000));
    }

    void steadyTicksHoldTheirSpacing() {
        aircon::TQtClock clock;
        aircon::TTimer timer(clock, 1000, true);
        TTicks ticks;
        ticks.Attach(timer);
        timer.SetInterval(100);
        QVERIFY(QTest::qWaitFor([&] { return ticks.At.size() >= 6; }, 5000));
        // Precise timers: the sixth tick lands near 600 ms, not drifting by 5 %.
        QVERIFY2(std::abs(ticks.At[5] - 600) < 150, qPrintable(QString::number(ticks.At[5])));
    }

    void strToInt_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("value");
        QTest::newRow("digits") << "350" << true << 350;
        QTest::newRow("zero") << "0" << true << 0;
        QTest::newRow("leading zeros") << "007" << true << 7;
        QTest::newRow("signed") << "-12" << true << -12;
        QTest::newRow("plus") << "+5" << true << 5;
        QTest::newRow("max") << "2147483647" << true << std::numeric_limits<int>::max();
        QTest::newRow("min") << "-2147483648" << true << std::numeric_limits<int>::min();
        QTest::newRow("beyond max") << "2147483648" << false << 0;
        QTest::newRow("beyond min") << "-2147483649" << false << 0;
        QTest::newRow("huge") << "99999999999999999999" << false << 0;
        QTest::newRow("empty") << "" << false << 0;
        QTest::newRow("sign only") << "-" << false << 0;
        QTest::newRow("blank before") << " 1" << false << 0;
        QTest::newRow("blank after") << "1 " << false << 0;
        QTest::newRow("letters") << "1a" << false << 0;
        QTest::newRow("hex") << "0x10" << false << 0;
        QTest::newRow("dollar hex") << "$10" << false << 0;
        QTest::newRow("full-width digit") << QStringLiteral("１") << false << 0;
    }
    void strToInt() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(int, value);
        const auto result = TryStrToInt(text);
        QCOMPARE(result.has_value(), valid);
        if (valid) {
            QCOMPARE(*result, value);
            QCOMPARE(StrToInt(text), value);
        } else {
            try {
                StrToInt(text);
                QFAIL("no conversion error");
            } catch (const EConvertError& e) {
                QCOMPARE(e.Message(),
                         QStringLiteral("'%1' is not a valid integer value").arg(text));
            }
        }
    }

    // While a box is open the timers keep running; a failure reported meanwhile
    // must not stack a second modal box on the first.
    void oneBoxAtATime() {
        int most = 0;
        bool nestedReturned = false;
        auto countOpen = [&] {
            int open = 0;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (qobject_cast<QMessageBox*>(w) && w->isVisible()) ++open;
            most = std::max(most, open);
        };
        // A failure reported while the first box is open (as a timer tick would).
        QTimer::singleShot(100, [&] {
            countOpen();
            MessageBoxes::ShowApplicationError(nullptr, QStringLiteral("second"));
            nestedReturned = true;
        });
        // A timer of its own looks and, after a while, answers every box.
        QElapsedTimer clock;
        clock.start();
        QTimer closer;
        closer.setInterval(25);
        QObject::connect(&closer, &QTimer::timeout, [&] {
            countOpen();
            if (clock.elapsed() < 400) return;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
                    box->done(QMessageBox::Ok);
        });
        closer.start();
        MessageBoxes::ShowApplicationError(nullptr, QStringLiteral("first"));
        QVERIFY(QTest::qWaitFor([&] { return nestedReturned; }, 3000));
        closer.stop();
        QCOMPARE(most, 1);
    }
};

QTEST_MAIN(TimerTest)
#include "timer_test.moc"
