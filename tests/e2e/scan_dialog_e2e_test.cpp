// "查找设备" against the simulator process: three controllers on a line kept at 9600 bit/s,
// the window's port at 2400 bit/s. The dialog finds exactly the controllers placed, pauses
// polling while it runs, puts the port's settings back when it ends, is stopped or closed,
// and "使用" takes the chosen row into the window.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>
#include <fstream>
#include <memory>
#include <set>

#include "Form1.h"
#include "FormTestSupport.h"
#include "MessageBoxes.h"
#include "ScanDialog.h"
#include "SimWindowRig.h"

using namespace simharness;

namespace {

// Controllers at 1, 7 and 200 on a line kept at 9600 bit/s; the window's port at 2400.
class Rig : public TSimWindowRig {
  public:
    Rig()
        : TSimWindowRig({"--addr", "1,7,200", "--line-baud", "9600"}, {.wait = 30s},
                        "BaudRate=2400\n") {
        AddScanButton(*form);
    }
};

template <class T>
T* Find(QWidget& w, const char* name) {
    return w.findChild<T*>(QLatin1String(name));
}

// Ticks exactly the given rates and sets the range.
void Choose(TScanDialog& d, std::set<int> rates, int first, int last) {
    for (TBaudRate r : TScanDialog::Rates) {
        const int n = BaudRateValue(r);
        Find<QCheckBox>(d, ("cbRate" + std::to_string(n)).c_str())->setChecked(rates.contains(n));
    }
    Find<QSpinBox>(d, "edFirst")->setValue(first);
    Find<QSpinBox>(d, "edLast")->setValue(last);
}

}  // namespace

class ScanDialogE2eTest : public QObject {
    Q_OBJECT
  private slots:
    void findsThePlacedControllersAndUsesOne() {
        Rig rig;
        QVERIFY2(rig.Ready(), rig.Sim().Err().c_str());
        QVERIFY(rig.Open());
        QCOMPARE(rig.form->ComPort().BaudRate(), TBaudRate::Br2400);
        QVERIFY(rig.form->PollTimer().Enabled());
        auto* button = rig.form->StatusBar()->findChild<QPushButton*>(QStringLiteral("btnScan"));
        QVERIFY(button);
        QCOMPARE(button->text(), QStringLiteral("查找设备"));

        TScanDialog d(*rig.form);
        d.show();
        Choose(d, {2400, 9600, 19200}, 0, 8);
        Find<QPushButton>(d, "btnStart")->click();
        QVERIFY(d.Running());
        QVERIFY2(!rig.form->PollTimer().Enabled(), "polling pauses during the scan");
        QVERIFY(rig.Until([&] { return !d.Running(); }));
        auto* table = Find<QTableWidget>(d, "tblFound");
        QCOMPARE(table->rowCount(), 2);
        for (int row = 0; row < 2; ++row) {
            const QString addr = row == 0 ? QStringLiteral("1") : QStringLiteral("7");
            QCOMPARE(table->item(row, 0)->text(), QStringLiteral("9600"));
            QCOMPARE(table->item(row, 1)->text(), addr);
            QCOMPARE(table->item(row, 2)->text(), QStringLiteral("1.0"));
            QVERIFY2(table->item(row, 4)->text().endsWith(QStringLiteral(" #") + addr),
                     qPrintable(table->item(row, 4)->text()));
        }
        auto* bar = Find<QProgressBar>(d, "pbProgress");
        QCOMPARE(bar->value(), bar->maximum());
        QCOMPARE(rig.form->ComPort().BaudRate(), TBaudRate::Br2400);
        QVERIFY2(rig.form->PollTimer().Enabled(), "polling resumes");

        // "使用" on the second row: the window's line and address.
        table->selectRow(1);
        Find<QPushButton>(d, "btnUse")->click();
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QCOMPARE(Ui(*rig.form).cbBaudrate->currentText(), QStringLiteral("9600"));
        QCOMPARE(Ui(*rig.form).edAddr->text(), QStringLiteral("7"));
        QCOMPARE(rig.form->ComPort().BaudRate(), TBaudRate::Br9600);
        QVERIFY(rig.boxes.empty());
    }

    void stoppedHalfwayOrClosedPutsThePortBack() {
        Rig rig;
        QVERIFY2(rig.Ready(), rig.Sim().Err().c_str());
        QVERIFY(rig.Open());
        for (const bool close : {false, true}) {
            TScanDialog d(*rig.form);
            d.show();
            Choose(d, {9600}, 0, 255);
            Find<QPushButton>(d, "btnStart")->click();
            auto* table = Find<QTableWidget>(d, "tblFound");
            QVERIFY(rig.Until([&] { return table->rowCount() == 1; }));
            QCOMPARE(rig.form->ComPort().BaudRate(), TBaudRate::Br9600);
            if (close)
                d.reject();
            else
                Find<QPushButton>(d, "btnStop")->click();
            QVERIFY(!d.Running());
            QCOMPARE(rig.form->ComPort().BaudRate(), TBaudRate::Br2400);
            QVERIFY(rig.form->PollTimer().Enabled());
            QCOMPARE(table->rowCount(), 1);
            auto* bar = Find<QProgressBar>(d, "pbProgress");
            QVERIFY(bar->value() < bar->maximum());
            if (!close)
                QVERIFY2(
                    Find<QLabel>(d, "lblProgress")->text().startsWith(QStringLiteral("已停止")),
                    qPrintable(Find<QLabel>(d, "lblProgress")->text()));
            QTest::qWait(50);
        }
    }
};

QTEST_MAIN(ScanDialogE2eTest)
#include "scan_dialog_e2e_test.moc"
