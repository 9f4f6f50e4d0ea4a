// The message shown when a port does not open: the cause and what to do, for the texts alone and
// through the window's "打开串口".
#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <cerrno>
#include <memory>

#include "FakeComPlatform.h"
#include "FormTestSupport.h"
#include "OpenFailureText.h"

namespace {

const QString InUse = QStringLiteral("打开串口失败，串口已被其它应用程序打开。");

TUserIdentity Operator() {
    TUserIdentity U;
    U.Uid = 1000;
    U.PrimaryGid = 1000;
    U.Name = "zhang";
    U.SessionGroups = {1000, 24};
    return U;
}

TDeviceAccess Usb0(bool GroupMayUse, bool InGroupNow, bool InGroupListed) {
    TDeviceAccess D;
    D.Path = "/dev/ttyUSB0";
    D.Node = "/dev/ttyUSB0";
    D.Exists = true;
    D.CharDevice = true;
    D.Mode = 020000 | (GroupMayUse ? 0660 : 0600);
    D.Owner = "root";
    D.Group = "dialout";
    D.Gid = 20;
    D.GroupMayUse = GroupMayUse;
    D.InGroupNow = InGroupNow;
    D.InGroupListed = InGroupListed;
    return D;
}

}  // namespace

class OpenFailureTextTest : public QObject {
    Q_OBJECT

  private slots:
    void textsByCause_data() {
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("device");  // 0 none, 1 outsider, 2 added not logged in, 3 mode 600
        QTest::addColumn<QStringList>("has");
        QTest::addColumn<QStringList>("hasNot");
        QTest::newRow("in use") << EBUSY << 0 << QStringList{InUse} << QStringList{};
        QTest::newRow("no error number") << 0 << 0 << QStringList{InUse} << QStringList{};
        QTest::newRow("not in the group")
            << EACCES << 1
            << QStringList{"无权使用串口设备 /dev/ttyUSB0", "zhang", "dialout 组",
                           "sudo usermod -aG dialout zhang", "重新登录"}
            << QStringList{InUse, "已加入"};
        QTest::newRow("added but not logged in again")
            << EACCES << 2 << QStringList{"dialout 组", "已加入 dialout 组", "重新登录"}
            << QStringList{"usermod"};
        QTest::newRow("group may not use it either")
            << EPERM << 3 << QStringList{"属主 root", "dialout 组", "crw-------", "管理员"}
            << QStringList{"usermod", "重新登录"};
        QTest::newRow("gone") << ENOENT << 0 << QStringList{"ttyUSB0 不存在", "拔出"}
                              << QStringList{InUse};
        QTest::newRow("no device behind the node")
            << ENXIO << 0 << QStringList{"ttyUSB0 不存在"} << QStringList{};
        QTest::newRow("not a terminal")
            << ENOTTY << 0 << QStringList{"ttyUSB0 不是串口设备"} << QStringList{InUse};
        QTest::newRow("other") << EIO << 0 << QStringList{"ttyUSB0", QString::number(EIO)}
                               << QStringList{InUse};
    }
    void textsByCause() {
        QFETCH(int, error);
        QFETCH(int, device);
        QFETCH(QStringList, has);
        QFETCH(QStringList, hasNot);
        TDeviceAccess D;
        if (device == 1) D = Usb0(true, false, false);
        if (device == 2) D = Usb0(true, false, true);
        if (device == 3) D = Usb0(false, true, true);
        const QString Text = OpenFailureText(QStringLiteral("ttyUSB0"), error, D, Operator());
        for (const QString& H : has)
            QVERIFY2(Text.contains(H), qPrintable(Text + " lacks " + H));
        for (const QString& H : hasNot)
            QVERIFY2(!Text.contains(H), qPrintable(Text + " has " + H));
        if (error == EBUSY || error == 0) QCOMPARE(Text, InUse);
    }

    // The window shows the cause of the failed open it just made.
    void windowNamesTheCause_data() {
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("start");
        QTest::newRow("in use") << EBUSY << InUse;
        QTest::newRow("permission") << EACCES << QStringLiteral("打开串口失败：当前用户");
        QTest::newRow("gone") << ENODEV << QStringLiteral("打开串口失败：串口 COM7 不存在");
    }
    void windowNamesTheCause() {
        QFETCH(int, error);
        QFETCH(QString, start);
        TSettingsDir Settings;
        auto Platform = std::make_shared<TFakeComPlatform>();
        TBoxCatcher Catcher;
        TForm1 Form(Settings.Path(), Platform);
        SelectPort(Form, QStringLiteral("COM7"));
        Platform->FailOn(TFakeOp::Open, error, 1);
        Ui(Form).btnCommOpen->click();
        QVERIFY(!Form.ComPort().Connected());
        QCOMPARE(Catcher.Boxes.size(), std::size_t{1});
        QCOMPARE(Catcher.Boxes[0].Title, QStringLiteral("错误"));
        QVERIFY2(Catcher.Boxes[0].Text.startsWith(start), qPrintable(Catcher.Boxes[0].Text));
        // The next open succeeds and says nothing: no cause of the last failure is left over.
        Ui(Form).btnCommOpen->click();
        QVERIFY(Form.ComPort().Connected());
        QCOMPARE(Catcher.Boxes.size(), std::size_t{1});
        Ui(Form).btnCommOpen->click();
        Platform->SetBusy("COM7");
        Ui(Form).btnCommOpen->click();
        QCOMPARE(Catcher.Boxes.size(), std::size_t{2});
        QCOMPARE(Catcher.Boxes[1].Text, InUse);
    }
};

QTEST_MAIN(OpenFailureTextTest)
#include "open_failure_text_test.moc"
