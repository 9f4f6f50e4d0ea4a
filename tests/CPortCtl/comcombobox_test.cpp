// The port selector over a fake port tree: filling, choosing, Text, linked ports and the stored
// port that the scan cannot see.
#include <pty.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <memory>

#include "ComComboBox.h"
#include "FakeComPlatform.h"

namespace fs = std::filesystem;

class ComComboBoxTest : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir Tmp;
    TPortScanRoots Roots;

    fs::path Root() const { return fs::path(Tmp.path().toStdString()); }
    // A real serial port as sysfs shows it, with its node.
    void AddTty(const std::string& Name) const {
        const fs::path Dir = Root() / "sys" / "class" / "tty" / Name;
        fs::create_directories(Dir / "device");
        std::ofstream(Dir / "uevent") << "DEVNAME=" << Name << "\n";
        std::ofstream(Root() / "dev" / Name) << "";
    }
    // The adapter is pulled out: its sysfs entry and its node go.
    void RemoveTty(const std::string& Name) const {
        fs::remove_all(Root() / "sys" / "class" / "tty" / Name);
        fs::remove(Root() / "dev" / Name);
    }
    // A stable name as udev makes it for a USB adapter.
    void AddById(const std::string& Name, const std::string& Tty) const {
        fs::create_directories(Root() / "dev" / "serial" / "by-id");
        fs::create_symlink("../../" + Tty, Root() / "dev" / "serial" / "by-id" / Name);
    }
    QString ById(const std::string& Name) const {
        return QString::fromStdString((Root() / "dev" / "serial" / "by-id" / Name).string());
    }
    static QStringList Items(const QComboBox& Box) {
        QStringList L;
        for (int I = 0; I < Box.count(); ++I)
            L << Box.itemText(I);
        return L;
    }
    std::unique_ptr<TComComboBox> PortBox() const {
        auto Box = std::make_unique<TComComboBox>();
        Box->SetScanRoots(Roots);
        Box->SetAutoApply(true);
        Box->SetComProperty(TComProperty::CpPort);
        return Box;
    }
    // A port component on the fake platform; it is never opened here.
    static std::unique_ptr<TComPort> MakePort() {
        return std::make_unique<TComPort>("ComPort1", std::make_shared<TFakeComPlatform>());
    }

  private slots:
    void init() {
        QVERIFY(Tmp.isValid());
        fs::remove_all(Root());
        fs::create_directories(Root() / "sys" / "class" / "tty");
        fs::create_directories(Root() / "dev");
        Roots.Sys = (Root() / "sys").string();
        Roots.Dev = (Root() / "dev").string();
    }

    void filledFromTheListFirstChosen() {
        for (const char* N : {"ttyUSB0", "ttyS10", "ttyS2", "ttyS1"})
            AddTty(N);
        auto Box = PortBox();
        std::vector<std::string> Expected;
        ListSerialPorts(Expected, Roots);
        QCOMPARE(Expected.size(), size_t(4));
        QStringList ExpectedItems;
        for (const auto& E : Expected)
            ExpectedItems << QString::fromStdString(E);
        QCOMPARE(Items(*Box), ExpectedItems);
        QCOMPARE(Items(*Box), (QStringList{"ttyS1", "ttyS10", "ttyS2", "ttyUSB0"}));
        QCOMPARE(Box->currentIndex(), 0);
        QCOMPARE(Box->Text(), QString("ttyS1"));
        QVERIFY(!Box->isEditable());
        QCOMPARE(Box->ComSelect().Port(), std::string("ttyS1"));
    }

    void emptyListGivesEmptyText() {
        auto Box = PortBox();
        QCOMPARE(Box->count(), 0);
        QCOMPARE(Box->currentIndex(), -1);
        QCOMPARE(Box->Text(), QString());
        Box->SetText("ttyS0");
        QCOMPARE(Box->currentIndex(), -1);
        Roots.Sys = (Root() / "missing").string();  // no tree at all
        Box->SetScanRoots(Roots);
        QCOMPARE(Box->count(), 0);
        QCOMPARE(Box->Text(), QString());
    }

    void settingTextChoosesOnlyAnExactItem() {
        for (const char* N : {"ttyS0", "ttyUSB0", "ttyUSB1"})
            AddTty(N);
        auto Box = PortBox();
        Box->SetText("ttyUSB1");
        QCOMPARE(Box->Text(), QString("ttyUSB1"));
        QCOMPARE(Box->ComSelect().Port(), std::string("ttyUSB1"));
        for (const char* Other : {"ttyUSB9", "ttyusb0", "ttyUSB", "", "ttyUSB0 "}) {
            Box->SetText(Other);
            QCOMPARE(Box->Text(), QString("ttyUSB1"));
            QCOMPARE(Box->currentIndex(), 2);
        }
    }

    void settingListsHoldTheirTexts() {
        TComComboBox Box;
        const struct {
            TComProperty Property;
            QStringList Texts;
        } Cases[] = {
            {TComProperty::CpBaudRate,
             {"Custom", "110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200",
              "38400", "56000", "57600", "115200", "128000", "256000"}},
            {TComProperty::CpDataBits, {"5", "6", "7", "8"}},
            {TComProperty::CpStopBits, {"1", "1.5", "2"}},
            {TComProperty::CpParity, {"None", "Odd", "Even", "Mark", "Space"}},
            {TComProperty::CpFlowControl, {"Hardware", "Software", "None", "Custom"}},
            {TComProperty::CpNone, {}},
        };
        for (const auto& C : Cases) {
            Box.SetComProperty(C.Property);
            QCOMPARE(Items(Box), C.Texts);
            QCOMPARE(Box.currentIndex(), C.Texts.isEmpty() ? -1 : 0);
        }
    }

    void linkedPortFollowsAndReceivesChoices() {
        auto Port = MakePort();
        Port->SetBaudRate(TBaudRate::Br19200);
        TComComboBox Box;
        Box.SetComPort(Port.get());
        Box.SetComProperty(TComProperty::CpBaudRate);
        QCOMPARE(Box.Text(), QString("19200"));  // the port's value, not the first item

        // The user's choice is applied at once with AutoApply...
        Box.SetAutoApply(true);
        Box.setCurrentIndex(Box.findText("115200"));
        QCOMPARE(Port->BaudRate(), TBaudRate::Br19200);  // a programmatic choice is not applied
        emit Box.activated(Box.currentIndex());
        QCOMPARE(Port->BaudRate(), TBaudRate::Br115200);

        // ...and only on ApplySettings without it.
        Box.SetAutoApply(false);
        Box.setCurrentIndex(Box.findText("600"));
        emit Box.activated(Box.currentIndex());
        QCOMPARE(Port->BaudRate(), TBaudRate::Br115200);
        Box.ApplySettings();
        QCOMPARE(Port->BaudRate(), TBaudRate::Br600);

        // UpdateSettings chooses the port's current value.
        Port->SetBaudRate(TBaudRate::Br38400);
        Box.UpdateSettings();
        QCOMPARE(Box.Text(), QString("38400"));
    }

    void keyboardChoiceReachesThePort() {
        auto Port = MakePort();
        TComComboBox Box;
        Box.SetComPort(Port.get());
        Box.SetAutoApply(true);
        Box.SetComProperty(TComProperty::CpParity);
        QCOMPARE(Box.Text(), QString("None"));
        QTest::keyClick(&Box, Qt::Key_Down);
        QCOMPARE(Box.Text(), QString("Odd"));
        QCOMPARE(Port->Parity().Bits(), TParityBits::PrOdd);

        Box.SetComProperty(TComProperty::CpFlowControl);
        Port->FlowControl().SetFlowControl(TFlowControl::FcSoftware);
        Box.UpdateSettings();
        QCOMPARE(Box.Text(), QString("Software"));
        QTest::keyClick(&Box, Qt::Key_Up);
        QCOMPARE(Port->FlowControl().FlowControl(), TFlowControl::FcHardware);
    }

    void portChoiceAndUnlinkedSelector() {
        for (const char* N : {"ttyS0", "ttyUSB0"})
            AddTty(N);
        auto Port = MakePort();
        auto Box = PortBox();
        // Without a link, choosing changes nothing but the choice; Apply/Update do nothing.
        Box->setCurrentIndex(1);
        emit Box->activated(1);
        Box->ApplySettings();
        Box->UpdateSettings();
        QCOMPARE(Box->Text(), QString("ttyUSB0"));
        QCOMPARE(Port->Port(), std::string("COM1"));

        // Linking chooses the port's name; not in the list means nothing chosen.
        Box->SetComPort(Port.get());
        QCOMPARE(Box->currentIndex(), -1);
        Port->SetPort("ttyS0");
        Box->UpdateSettings();
        QCOMPARE(Box->Text(), QString("ttyS0"));
        Box->setCurrentIndex(1);
        emit Box->activated(1);
        QCOMPARE(Port->Port(), std::string("ttyUSB0"));

        // The linked port goes away: the link is dropped and the first item chosen.
        Box->PortDestroyed(Port.get());
        Port.reset();
        QCOMPARE(Box->ComPort(), nullptr);
        QCOMPARE(Box->Text(), QString("ttyS0"));
        Box->ApplySettings();  // no port: must not touch anything
    }

    void storedPortThatTheScanMissesIsAdded() {
        for (const char* N : {"ttyS0", "ttyUSB0"})
            AddTty(N);
        int Master = -1, Slave = -1;
        char Pts[128] = {};
        QCOMPARE(::openpty(&Master, &Slave, Pts, nullptr, nullptr), 0);
        const fs::path UserLink = Root() / "vport";  // socat ...,link=~/vport as a user
        fs::create_symlink(Pts, UserLink);
        fs::create_symlink(Pts, Root() / "dev" / "ttyTmp");  // bare name in the device folder
        std::ofstream(Root() / "plain") << "";

        auto Box = PortBox();
        Box->SetText("ttyUSB0");
        QVERIFY(Box->AddPortIfPresent("ttyS0"));  // listed already: no second item
        QCOMPARE(Box->count(), 2);
        QVERIFY(!Box->AddPortIfPresent((Root() / "plain").string()));
        QVERIFY(!Box->AddPortIfPresent((Root() / "nothing").string()));
        QVERIFY(!Box->AddPortIfPresent(""));
        QCOMPARE(Box->count(), 2);

        QVERIFY(Box->AddPortIfPresent(UserLink.string()));
        QVERIFY(Box->AddPortIfPresent("ttyTmp"));
        const QString Link = QString::fromStdString(UserLink.string());
        QCOMPARE(Items(*Box), (QStringList{Link, "ttyS0", "ttyTmp", "ttyUSB0"}));
        QCOMPARE(Box->Text(), QString("ttyUSB0"));  // the choice stays on its item
        Box->SetText(Link);
        QCOMPARE(Box->Text(), Link);
        // The chosen name is one the serial component opens.
        TComPort Real("ComPort1");
        Real.SetEvents({});
        Real.SetPort(Box->Text().toStdString());
        Real.Open();
        QVERIFY(Real.Connected());
        Real.Close();

        TComComboBox Rates;  // only a port list takes ports
        Rates.SetComProperty(TComProperty::CpBaudRate);
        QVERIFY(!Rates.AddPortIfPresent(UserLink.string()));
        ::close(Master);
        ::close(Slave);
    }

    void emptyListTakesAnAddedPort() {
        int Master = -1, Slave = -1;
        char Pts[128] = {};
        QCOMPARE(::openpty(&Master, &Slave, Pts, nullptr, nullptr), 0);
        auto Box = PortBox();
        QCOMPARE(Box->count(), 0);
        QVERIFY(Box->AddPortIfPresent(Pts));
        QCOMPARE(Box->Text(), QString(Pts));
        ::close(Master);
        ::close(Slave);
    }

    void rescanKeepsTheChosenPortByName() {
        for (const char* N : {"ttyS0", "ttyUSB0"})
            AddTty(N);
        auto Box = PortBox();
        Box->SetText("ttyUSB0");
        QSignalSpy Activated(Box.get(), &QComboBox::activated);
        QSignalSpy TextChanged(Box.get(), &QComboBox::currentTextChanged);

        // Adapters plugged in after start-up appear; the choice stays on its name.
        AddTty("ttyUSB1");
        AddTty("ttyACM0");
        QVERIFY(Box->ComSelect().RescanPorts());
        QCOMPARE(Items(*Box), (QStringList{"ttyACM0", "ttyS0", "ttyUSB0", "ttyUSB1"}));
        QCOMPARE(Box->Text(), QString("ttyUSB0"));
        QVERIFY(!Box->ComSelect().RescanPorts());  // nothing new: the items are left alone

        // The chosen adapter is pulled out: its name stays listed and chosen, so the operator
        // still sees what was chosen, and it is the same choice when the adapter comes back.
        RemoveTty("ttyUSB0");
        RemoveTty("ttyACM0");
        QVERIFY(Box->ComSelect().RescanPorts());
        QCOMPARE(Items(*Box), (QStringList{"ttyS0", "ttyUSB0", "ttyUSB1"}));
        QCOMPARE(Box->Text(), QString("ttyUSB0"));
        AddTty("ttyUSB0");
        Box->ComSelect().RescanPorts();
        QCOMPARE(Box->Text(), QString("ttyUSB0"));
        QCOMPARE(Box->ComSelect().Port(), std::string("ttyUSB0"));
        QCOMPARE(Activated.count(), 0);    // a rescan is no choice of the operator's
        QCOMPARE(TextChanged.count(), 0);  // and the text shown never changed

        // Once another port is chosen, a gone one leaves the list.
        RemoveTty("ttyUSB0");
        Box->SetText("ttyS0");
        Box->ComSelect().RescanPorts();
        QCOMPARE(Items(*Box), (QStringList{"ttyS0", "ttyUSB1"}));

        // A tree that cannot be read keeps the names of the last scan.
        fs::remove_all(Root() / "sys" / "class" / "tty");
        QVERIFY(!Box->ComSelect().RescanPorts());
        QCOMPARE(Items(*Box), (QStringList{"ttyS0", "ttyUSB1"}));
    }

    void firstPortToAppearIsChosen() {
        auto Box = PortBox();
        QCOMPARE(Box->currentIndex(), -1);
        AddTty("ttyUSB0");
        QVERIFY(Box->ComSelect().RescanPorts());
        QCOMPARE(Box->Text(), QString("ttyUSB0"));
        QCOMPARE(Box->ComSelect().Port(), std::string("ttyUSB0"));  // recorded for opening
    }

    void stableNamesFollowTheKernelNames() {
        for (const char* N : {"ttyS0", "ttyUSB0", "ttyUSB1"})
            AddTty(N);
        AddById("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB1");
        AddById("usb-1a86_USB_Serial-if00-port0", "ttyUSB0");
        auto Box = PortBox();
        QCOMPARE(Items(*Box),
                 (QStringList{"ttyS0", "ttyUSB0", "ttyUSB1", ById("usb-1a86_USB_Serial-if00-port0"),
                              ById("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0")}));
        // A stored stable name is chosen like any other, and it is a name the port opens.
        Box->SetText(ById("usb-1a86_USB_Serial-if00-port0"));
        QCOMPARE(Box->currentIndex(), 3);
        QVERIFY(Box->AddPortIfPresent(ById("usb-1a86_USB_Serial-if00-port0").toStdString()));
        QCOMPARE(Box->count(), 5);
    }

    void portsOfTheUsersOwnStayWhileTheyExist() {
        AddTty("ttyS0");
        int Master = -1, Slave = -1;
        char Pts[128] = {};
        QCOMPARE(::openpty(&Master, &Slave, Pts, nullptr, nullptr), 0);
        const fs::path UserLink = Root() / "vport";
        fs::create_symlink(Pts, UserLink);
        const QString Link = QString::fromStdString(UserLink.string());
        auto Box = PortBox();
        QVERIFY(Box->AddPortIfPresent(UserLink.string()));
        AddTty("ttyUSB0");
        Box->ComSelect().RescanPorts();
        QCOMPARE(Items(*Box), (QStringList{Link, "ttyS0", "ttyUSB0"}));
        fs::remove(UserLink);  // the user's socat has stopped
        Box->ComSelect().RescanPorts();
        QCOMPARE(Items(*Box), (QStringList{"ttyS0", "ttyUSB0"}));
        fs::create_symlink(Pts, UserLink);  // and runs again
        Box->ComSelect().RescanPorts();
        QCOMPARE(Items(*Box), (QStringList{Link, "ttyS0", "ttyUSB0"}));
        ::close(Master);
        ::close(Slave);
    }

    void dropDownScansAndIsAsWideAsItsLongestItem() {
        AddTty("ttyS0");
        QWidget Window;
        Window.resize(400, 300);
        auto Box = PortBox();
        Box->setParent(&Window);
        Box->setGeometry(64, 18, 65, 21);
        Window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&Window));

        AddTty("ttyUSB0");
        const std::string Long =
            "usb-Silicon_Labs_CP2102N_USB_to_UART_Bridge_Controller_"
            "8a3c5e1f2b4d6a7c9e0f1a2b3c4d5e6f-if00-port0";
        AddById(Long, "ttyUSB0");
        Box->showPopup();  // opening the drop-down scans first
        QCOMPARE(Items(*Box), (QStringList{"ttyS0", "ttyUSB0", ById(Long)}));
        QTRY_VERIFY(Box->view()->isVisible());
        const int TextWidth = Box->view()->fontMetrics().horizontalAdvance(ById(Long));
        QVERIFY2(
            Box->view()->width() > TextWidth,
            qPrintable(QString("list %1 px, text %2 px").arg(Box->view()->width()).arg(TextWidth)));
        QCOMPARE(Box->width(), 65);  // the closed box keeps its designed width
        Box->hidePopup();
    }

    void deviceFolderChangesAreSeenWithoutOpening() {
        AddTty("ttyS0");
        auto Box = PortBox();
        AddTty("ttyUSB0");
        QTRY_COMPARE(Items(*Box), (QStringList{"ttyS0", "ttyUSB0"}));
        // The stable-name folders appear with the first adapter and are watched from then on.
        AddById("usb-1a86_USB_Serial-if00-port0", "ttyUSB0");
        QTRY_COMPARE(Box->count(), 3);
        AddById("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");
        QTRY_COMPARE(Box->count(), 4);
        // Pulled out: the node and, with it, its stable names go.
        RemoveTty("ttyUSB0");
        QTRY_COMPARE(Items(*Box), QStringList{"ttyS0"});
    }

    void defaultRootsReachNewSelectors() {
        AddTty("ttyACM0");
        const TPortScanRoots Saved = DefaultPortScanRoots();
        SetDefaultPortScanRoots(Roots);
        TComComboBox Box;
        SetDefaultPortScanRoots(Saved);
        Box.SetComProperty(TComProperty::CpPort);
        QCOMPARE(Items(Box), QStringList{"ttyACM0"});
    }
};

QTEST_MAIN(ComComboBoxTest)
#include "comcombobox_test.moc"
