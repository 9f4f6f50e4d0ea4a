// "参数文件" against the simulator process: the controller's parameters saved to a file, one
// value changed on the controller, the comparison showing exactly that one, the write after a
// confirmation listing it, verified by the read-back; a choice the controller does not take
// refused while the rest is written; a file with mistakes refused before anything is sent;
// polling paused while the dialog has the line.
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>
#include <fstream>
#include <memory>

#include "Form1.h"
#include "FormTestSupport.h"
#include "MessageBoxes.h"
#include "ParamSetDialog.h"
#include "ScanDialog.h"
#include "SimWindowRig.h"

using namespace simharness;

namespace {

// One controller at address 1 with a control pipe and no alarms of its own; every
// confirmation answered with `answer` and its question kept.
class Rig : public TSimWindowRig {
  public:
    Rig()
        : TSimWindowRig({"--alarm-every", "0", "--no-pace", "-v"}, {.control = true, .wait = 30s}) {
        MessageBoxes::SetConfirmHook([this](QWidget*, const MessageBoxes::TBox& b) {
            questions.push_back(b.Text);
            return answer;
        });
        AddScanButton(*form);
        AddParamSetButton(*form);
    }
    ~Rig() {
        CloseWindow();
        MessageBoxes::SetConfirmHook(nullptr);
    }
    // Replies the simulator gave to sets (0x49).
    int Sets() {
        const std::string log = Sim().Out();
        int n = 0;
        for (auto p = log.find("cid2=49"); p != std::string::npos; p = log.find("cid2=49", p + 1))
            ++n;
        return n;
    }
    std::vector<QString> questions;
    bool answer = true;
};

QString Cell(TParamSetDialog& d, int Row, int Column) {
    auto* table = d.findChild<QTableWidget*>(QStringLiteral("tblParams"));
    auto* item = table ? table->item(Row, Column) : nullptr;
    return item ? item->text() : QStringLiteral("<none>");
}

QString Status(TParamSetDialog& d) {
    return d.findChild<QLabel*>(QStringLiteral("lblStatus"))->text();
}

constexpr int FanRow = 8, ModeRow = 7, SetPointRow = 6;

}  // namespace

class ParamSetDialogE2eTest : public QObject {
    Q_OBJECT
  private slots:
    void roundTripsAndWritesOnlyAfterConfirmation() {
        Rig rig;
        QVERIFY(rig.Ready());
        QVERIFY(rig.Open());
        auto* button =
            rig.form->StatusBar()->findChild<QPushButton*>(QStringLiteral("btnParamSet"));
        QVERIFY(button);
        QCOMPARE(button->accessibleName(), QStringLiteral("参数文件"));
        QVERIFY(rig.form->PollTimer().Enabled());

        TParamSetDialog d(*rig.form);
        QVERIFY2(d.Busy(), "the dialog reads the controller when it opens");
        QVERIFY2(!rig.form->PollTimer().Enabled(), "polling pauses while it reads");
        QVERIFY(rig.Until([&] { return !d.Busy(); }));
        QVERIFY2(rig.form->PollTimer().Enabled(), "polling resumes");
        QCOMPARE(Cell(d, FanRow, TParamSetDialog::ColController), QStringLiteral("高风"));

        const QString file = rig.File("site.ini");
        d.btnSaveClick(file);
        QVERIFY2(Status(d).contains(QStringLiteral("已把 16 个参数保存到")), qPrintable(Status(d)));

        QVERIFY(rig.Control("param 1 0xC1 1"));
        d.btnReadClick();
        QVERIFY(rig.Until([&] { return !d.Busy(); }));
        d.btnOpenClick(file);
        QVERIFY(d.Comparison());
        QCOMPARE(d.Comparison()->Differing, std::size_t{1});
        QCOMPARE(Cell(d, FanRow, TParamSetDialog::ColCaption), QStringLiteral("内风机风速设定"));
        QCOMPARE(Cell(d, FanRow, TParamSetDialog::ColFile), QStringLiteral("高风"));
        QCOMPARE(Cell(d, FanRow, TParamSetDialog::ColController), QStringLiteral("低风"));
        QCOMPARE(Cell(d, FanRow, TParamSetDialog::ColCompare), QStringLiteral("不同"));
        QCOMPARE(Cell(d, ModeRow, TParamSetDialog::ColCompare), QStringLiteral("相同"));

        // Declined: nothing goes to the controller.
        rig.answer = false;
        d.btnWriteClick();
        QCOMPARE(rig.questions.size(), std::size_t{1});
        QVERIFY2(rig.questions[0].contains(QStringLiteral("内风机风速设定 (0xC1)：低风 → 高风")),
                 qPrintable(rig.questions[0]));
        QVERIFY(!d.Busy());
        QTest::qWait(300);
        QCOMPARE(rig.Sets(), 0);

        rig.answer = true;
        d.btnWriteClick();
        QVERIFY(d.Busy());
        QVERIFY2(!rig.form->PollTimer().Enabled(), "polling pauses while it writes");
        QVERIFY(rig.Until([&] { return !d.Busy(); }));
        QVERIFY2(Cell(d, FanRow, TParamSetDialog::ColOutcome).startsWith(QStringLiteral("已写入")),
                 qPrintable(Cell(d, FanRow, TParamSetDialog::ColOutcome)));
        QCOMPARE(d.Comparison()->Differing, std::size_t{0});
        QCOMPARE(Cell(d, FanRow, TParamSetDialog::ColController), QStringLiteral("高风"));
        QCOMPARE(rig.Sets(), 1);
        QVERIFY(rig.form->PollTimer().Enabled());
    }

    void refusedChoiceIsShownAndTheRestWritten() {
        Rig rig;
        QVERIFY(rig.Ready());
        QVERIFY(rig.Open());
        QVERIFY(rig.Control("choices 1 0xC0 0-4"));
        const QString file = rig.File("std.ini");
        std::ofstream(file.toStdString()) << "format_version = 1\n[controller]\n"
                                             "device_name = AC-9\n[parameters]\n"
                                             "run_mode = 空调\ntemp_set_point = 23\n";
        TParamSetDialog d(*rig.form);
        QVERIFY(rig.Until([&] { return !d.Busy(); }));
        d.btnOpenClick(file);
        QVERIFY(d.Comparison());
        QCOMPARE(d.Comparison()->Differing, std::size_t{2});
        auto* about = d.findChild<QLabel*>(QStringLiteral("lblFile"));
        QVERIFY2(about->text().contains(QStringLiteral("只含 2 个参数")),
                 qPrintable(about->text()));
        QVERIFY2(about->text().contains(QStringLiteral("文件保存自另一台控制器")),
                 qPrintable(about->text()));
        QCOMPARE(Cell(d, 0, TParamSetDialog::ColCompare), QStringLiteral("不在文件中"));
        d.btnWriteClick();
        QVERIFY(rig.Until([&] { return !d.Busy(); }));
        QVERIFY2(Cell(d, ModeRow, TParamSetDialog::ColOutcome).startsWith(QStringLiteral("被拒绝")),
                 qPrintable(Cell(d, ModeRow, TParamSetDialog::ColOutcome)));
        QVERIFY2(
            Cell(d, SetPointRow, TParamSetDialog::ColOutcome).startsWith(QStringLiteral("已写入")),
            qPrintable(Cell(d, SetPointRow, TParamSetDialog::ColOutcome)));
        QCOMPARE(Cell(d, ModeRow, TParamSetDialog::ColController), QStringLiteral("制冷"));
        QCOMPARE(d.Comparison()->Differing, std::size_t{1});
        QVERIFY2(Status(d).contains(QStringLiteral("2 个参数中 1 个已写入")),
                 qPrintable(Status(d)));
        QCOMPARE(rig.Sets(), 2);
    }

    void fileWithMistakesIsRefusedBeforeAnythingIsSent() {
        Rig rig;
        QVERIFY(rig.Ready());
        QVERIFY(rig.Open());
        const QString file = rig.File("bad.ini");
        std::ofstream(file.toStdString()) << "format_version = 1\n[parameters]\n"
                                             "run_mode = 强冷\n";
        TParamSetDialog d(*rig.form);
        QVERIFY(rig.Until([&] { return !d.Busy(); }));
        d.btnOpenClick(file);
        QVERIFY(!d.Comparison());
        QCOMPARE(rig.boxes.size(), std::size_t{1});
        QVERIFY2(rig.boxes[0].Text.contains(QStringLiteral("第 3 行：运行模式设定：“强冷”")),
                 qPrintable(rig.boxes[0].Text));
        QVERIFY(!d.findChild<QPushButton*>(QStringLiteral("btnWrite"))->isEnabled());
        d.btnWriteClick();
        QTest::qWait(200);
        QCOMPARE(rig.Sets(), 0);
        QVERIFY(rig.questions.empty());
    }
};

QTEST_MAIN(ParamSetDialogE2eTest)
#include "param_set_dialog_e2e_test.moc"
