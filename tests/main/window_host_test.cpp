// The program's window on a laptop: with 1366 x 728 pixels available (1366 x 768 less a
// taskbar) the window fits the screen and every control can be scrolled into view, also
// with the traffic log opened below the designed area.
#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>

#include "FakeClock.h"
#include "FakeComPlatform.h"
#include "FormTestSupport.h"
#include "WindowHost.h"

namespace {
const QRect Laptop(0, 0, 1366, 728);

// Every control the operator works with: buttons, boxes, edits.
std::vector<QWidget*> Controls(QWidget& Form) {
    std::vector<QWidget*> out;
    for (QWidget* w : Form.findChildren<QWidget*>()) {
        if (!w->isVisibleTo(&Form)) continue;
        if (qobject_cast<QAbstractButton*>(w) || qobject_cast<QComboBox*>(w) ||
            qobject_cast<QLineEdit*>(w))
            out.push_back(w);
    }
    return out;
}
}  // namespace

class WindowHostTest : public QObject {
    Q_OBJECT
  private slots:
    void everyControlReachableOnALaptop() {
        TSettingsDir settings;
        TBoxCatcher catcher;
        aircon::TFakeClock clock;
        auto* form = new TForm1(settings.Path(), std::make_shared<TFakeComPlatform>(), &clock);
        // The window alone is taller than the laptop's area, with a title bar too.
        QVERIFY(form->height() + 30 > Laptop.height());
        TWindowHost host(form);
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));

        for (const bool logOpen : {false, true}) {
            if (logOpen) {
                auto* log = form->findChild<QPushButton*>(QStringLiteral("btnTrafficLog"));
                QVERIFY(log);
                log->click();
                QCoreApplication::processEvents();
                QVERIFY(form->height() > TForm1::DesignHeight + 100);  // the log is below
            }
            host.FitTo(Laptop);
            QVERIFY2(host.frameGeometry().height() <= Laptop.height(),
                     qPrintable(QString::number(host.height())));
            QVERIFY(host.width() <= Laptop.width());
            // The scroll range covers the whole form.
            QCOMPARE(host.verticalScrollBar()->maximum(),
                     std::max(0, form->height() - host.viewport()->height()));
            // Page by page of the tab control.
            auto* pages = form->findChild<QTabWidget*>(QStringLiteral("PageControl1"));
            QVERIFY(pages);
            std::size_t checked = 0;
            for (int page = 0; page < pages->count(); ++page) {
                pages->setCurrentIndex(page);
                for (QWidget* w : Controls(*form)) {
                    host.ensureWidgetVisible(w, 0, 0);
                    const QRect inViewport(w->mapTo(host.viewport(), QPoint(0, 0)), w->size());
                    QVERIFY2(host.viewport()->rect().contains(inViewport),
                             qPrintable(w->objectName() + (logOpen ? " (log open)" : "")));
                    ++checked;
                }
            }
            QVERIFY(checked > 60);
        }
        QCOMPARE(host.windowTitle(), form->windowTitle());
        host.close();
        QVERIFY(!form->ComPort().Connected());
    }
};

QTEST_MAIN(WindowHostTest)
#include "window_host_test.moc"
