// What the window shows below its designed area: panels that open on demand and the
// status bar. The designed controls never move; the window follows the panels' height.
#include <QAbstractButton>
#include <QAccessible>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>

#include "AlarmSummary.h"
#include "FakeClock.h"
#include "FormTestSupport.h"
#include "ParamSetDialog.h"
#include "ScanDialog.h"

class Form1ExtensionTest : public QObject {
    Q_OBJECT
  private slots:
    void panelsOpenBelowTheDesignAndTheWindowFollowsThem() {
        TSettingsDir settings;
        aircon::TFakeClock clock;
        TForm1 form(settings.Path(), nullptr, &clock);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));

        auto* pages = form.findChild<QTabWidget*>(QStringLiteral("PageControl1"));
        auto* memo2 = form.findChild<QWidget*>(QStringLiteral("Memo2"));
        QVERIFY(pages && memo2);
        const QRect pagesPlace = pages->geometry();
        const QRect memoPlace = memo2->geometry();
        const int bar = form.LinkBar()->height() + form.StatusBar()->height();
        QVERIFY(bar > 0);
        QCOMPARE(form.height(), TForm1::DesignHeight + bar);

        // Two panels of different heights, shown and hidden in turn.
        auto* first = new QLabel(QStringLiteral("first"));
        first->setFixedHeight(120);
        first->hide();
        auto* second = new QLabel(QStringLiteral("second"));
        second->setFixedHeight(40);
        second->hide();
        form.AddBottomPanel(first);
        form.AddBottomPanel(second);
        QCOMPARE(form.height(), TForm1::DesignHeight + bar);

        struct TStep {
            bool First, Second;
            int Extra;
        };
        const TStep steps[] = {
            {true, false, 120}, {true, true, 160}, {false, true, 40}, {false, false, 0}};
        for (const TStep& s : steps) {
            first->setVisible(s.First);
            second->setVisible(s.Second);
            QTRY_COMPARE(form.height(), TForm1::DesignHeight + s.Extra + bar);
            // The status bars stay at the bottom, the panels right under the design.
            QCOMPARE(form.LinkBar()->mapTo(&form, QPoint(0, 0)).y(),
                     TForm1::DesignHeight + s.Extra);
            QCOMPARE(form.StatusBar()->mapTo(&form, QPoint(0, 0)).y(),
                     TForm1::DesignHeight + s.Extra + form.LinkBar()->height());
            if (s.First) QCOMPARE(first->mapTo(&form, QPoint(0, 0)).y(), TForm1::DesignHeight);
            QCOMPARE(form.width(), TForm1::DesignWidth);
            QCOMPARE(pages->geometry(), pagesPlace);
            QCOMPARE(memo2->geometry(), memoPlace);
        }
    }

    // A screen reader, or automation that reads the window, finds every control the
    // keyboard reaches by a name: the logs and the number boxes by the captions beside
    // them, the buttons by their texts.
    void everyControlHasANameForAssistiveTechnology() {
        QAccessible::setActive(true);
        TSettingsDir settings;
        aircon::TFakeClock clock;
        TForm1 form(settings.Path(), nullptr, &clock);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QStringList unnamed;
        int checked = 0;
        for (QWidget* w : form.findChildren<QWidget*>()) {
            if (!w->isVisibleTo(&form) || !(w->focusPolicy() & Qt::TabFocus)) continue;
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
            if (!a) continue;
            ++checked;
            if (a->text(QAccessible::Name).trimmed().isEmpty())
                unnamed << QStringLiteral("%1 (%2)").arg(
                    w->objectName(), QString::fromLatin1(w->metaObject()->className()));
        }
        QVERIFY(checked > 15);
        QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(QStringLiteral(", "))));
        for (auto [name, caption] : {std::pair{"Memo1", "发送"}, std::pair{"Memo2", "接收"}}) {
            auto* memo = form.findChild<QWidget*>(QLatin1String(name));
            QVERIFY(memo);
            QCOMPARE(QAccessible::queryAccessibleInterface(memo)->text(QAccessible::Name),
                     QString::fromUtf8(caption));
        }
    }

    // With every control the program adds to the bottom bars, each still shows its whole
    // text at the window's width: a squeezed button reads "告警汇…" or loses its edge.
    void bottomBarsShowEveryControlWhole() {
        TSettingsDir settings;
        aircon::TFakeClock clock;
        TForm1 form(settings.Path(), nullptr, &clock);
        AddScanButton(form);
        AddAlarmSummary(form);
        AddParamSetButton(form);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QStringList squeezed;
        int checked = 0;
        for (QWidget* bar :
             {static_cast<QWidget*>(form.LinkBar()), static_cast<QWidget*>(form.StatusBar())}) {
            for (QWidget* w : bar->findChildren<QWidget*>()) {
                if (!w->isVisibleTo(&form)) continue;
                if (!qobject_cast<QAbstractButton*>(w) && !qobject_cast<QLabel*>(w)) continue;
                ++checked;
                const QRect inBar(w->mapTo(bar, QPoint(0, 0)), w->size());
                if (w->width() < w->sizeHint().width() || !bar->rect().contains(inBar))
                    squeezed << QStringLiteral("%1 (%2 of %3 px)")
                                    .arg(w->objectName())
                                    .arg(w->width())
                                    .arg(w->sizeHint().width());
            }
        }
        QVERIFY(checked >= 10);
        QVERIFY2(squeezed.isEmpty(), qPrintable(squeezed.join(QStringLiteral(", "))));
    }
};

QTEST_MAIN(Form1ExtensionTest)
#include "form1_extension_test.moc"
