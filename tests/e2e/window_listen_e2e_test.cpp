// The window listening on the simulator's tap while our poller is the master on the
// simulated line: the window decodes the readings the master received, one for one,
// and the simulator hears not one byte from the tap.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "Form1.h"
#include "FormTestSupport.h"
#include "JsonLines.h"
#include "LinkView.h"
#include "ListenView.h"
#include "SimHarness.h"
#include "TrafficLogPanel.h"
#include "TrafficRows.h"

using namespace simharness;

namespace {

// What the window's views are given to show: each decoded reply as the poller's JSON line.
struct TShown : aircon::IMonitorObserver {
    std::vector<std::string> Lines;
    void OnReplyDecoded(const aircon::TDecodedReply& Reply) override {
        Lines.push_back(WithoutTime(airconpoll::JsonLine(Reply)));
    }
};

}  // namespace

class WindowListenE2ETest : public QObject {
    Q_OBJECT
  private slots:
    void windowHearsWhatThePollerReads() {
        SimOnLink s({"--addr", "1", "--seed", "7"}, {.tap = true});
        QVERIFY2(s.ready, s.sim->Err().c_str());

        TSettingsDir settings;
        TBoxCatcher boxes;
        TForm1 form(settings.Path());
        SelectPort(form, QString::fromStdString(s.tap.string()));
        TShown shown;
        form.Monitor().AddObserver(shown);
        Ui(form).edAddr->setText(QStringLiteral("1"));
        form.ListenView().Switch()->click();
        Ui(form).btnCommOpen->click();
        QVERIFY(form.ComPort().Connected());
        QCOMPARE(Ui(form).Label14->text(), QStringLiteral("通讯状态：监听中"));

        PollerProcess master(s.dir.path(),
                             {"--port", s.link.string(), "--json", "--interval", "200"});
        // A full round: the identity, the parameters and every polled reply of both units.
        const auto masterLines = [&] { return ReadingLines(master.Out()).size(); };
        QVERIFY2(QTest::qWaitFor([&] { return masterLines() >= 14; }, 30000), master.Err().c_str());
        QCOMPARE(master.Stop(SIGTERM), std::optional<int>(0));
        const std::vector<std::string> read = ReadingLines(master.Out());
        // The window has heard the last exchange by the time the master has ended.
        QVERIFY(QTest::qWaitFor([&] { return shown.Lines.size() >= read.size(); }, 5000));
        Ui(form).btnCommOpen->click();
        form.Monitor().RemoveObserver(shown);
        QCOMPARE(s.sim->Stop(SIGTERM), std::optional<int>(0));

        // The master's last command may have been answered after it stopped reading.
        QVERIFY(shown.Lines.size() <= read.size() + 1);
        for (std::size_t i = 0; i < read.size(); ++i)
            QCOMPARE(QString::fromStdString(shown.Lines[i]), QString::fromStdString(read[i]));
        // The traffic log: each of the other master's commands and its reply, both directions.
        const aircon::TTrafficLog& log = form.LinkView().Panel().Log();
        std::size_t commands = 0, replies = 0;
        std::string rows;
        for (std::size_t i = 0; i < log.Size(); ++i) {
            const aircon::TTrafficRow& r = log.Row(i);
            rows += aircon::RowLine(r) + "\n";
            if (aircon::DirectionText(r) == "另一主机") ++commands;
            if (r.Kind == aircon::TRowKind::Received && r.Class == aircon::TRowClass::Reply)
                ++replies;
        }
        QVERIFY2(commands >= read.size(), rows.c_str());
        QVERIFY2(replies == commands, rows.c_str());
        // The window wrote nothing on the line: the tap sent no byte.
        QVERIFY2(s.sim->Out().find("tap_sent=0") != std::string::npos, s.sim->Out().c_str());
        QVERIFY(boxes.Boxes.empty());
    }
};

QTEST_MAIN(WindowListenE2ETest)
#include "window_listen_e2e_test.moc"
