#include "FormTestSupport.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

#include "ComComboBox.h"
#include "HexLog.h"

#include <cerrno>
#include <stdexcept>

TPtyController::TPtyController() {
    char name[256] = {};
    if (openpty(&FMaster, &FSlave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    termios tio{};
    tcgetattr(FSlave, &tio);
    cfmakeraw(&tio);
    tcsetattr(FSlave, TCSANOW, &tio);
    fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
    FSlavePath = QString::fromLocal8Bit(name);
    FNotifier = std::make_unique<QSocketNotifier>(FMaster, QSocketNotifier::Read);
    QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] { ReadAvailable(); });
    FClock.start();
}

TPtyController::~TPtyController() {
    FNotifier.reset();
    close(FSlave);
    close(FMaster);
}

void TPtyController::ReadAvailable() {
    char buffer[512];
    for (;;) {
        const ssize_t n = read(FMaster, buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            FPartial += buffer[i];
            if (buffer[i] == '\r') {
                FFrames.push_back(TFrame{FPartial, FClock.elapsed()});
                FPartial.clear();
            }
        }
    }
}

bool TPtyController::WaitFrames(std::size_t Count, int TimeoutMs) {
    return QTest::qWaitFor([&] { return FFrames.size() >= Count; }, TimeoutMs);
}

void TPtyController::Send(const std::string& Bytes) {
    std::size_t done = 0;
    while (done < Bytes.size()) {
        const ssize_t n = write(FMaster, Bytes.data() + done, Bytes.size() - done);
        if (n < 0 && errno != EAGAIN && errno != EINTR) throw std::runtime_error("write failed");
        if (n > 0) done += static_cast<std::size_t>(n);
    }
}

TBoxCatcher::TBoxCatcher() {
    MessageBoxes::SetHook(
        [this](QWidget*, const MessageBoxes::TBox& Box) { Boxes.push_back(Box); });
}

TBoxCatcher::~TBoxCatcher() {
    MessageBoxes::SetHook(nullptr);
}

void TSettingsDir::Write(const QString& Content) const {
    QFile file(Path());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw std::runtime_error("cannot write settings");
    file.write(Content.toUtf8());
}

QString TSettingsDir::Read() const {
    QFile file(Path());
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll());
}

void SelectPort(TForm1& Form, const QString& Port) {
    QComboBox* box = Form.findChild<QComboBox*>(QStringLiteral("cbPort"));
    int index = box->findText(Port);
    if (index < 0) {
        box->addItem(Port);
        index = box->findText(Port);
    }
    box->setCurrentIndex(index);
}

bool OpenPort(TForm1& Form) {
    Ui(Form).btnCommOpen->click();
    return Form.ComPort().Connected();
}

bool OpenPortQuiet(TForm1& Form) {
    if (!OpenPort(Form)) return false;
    Ui(Form).cbAutoQuery->click();
    return !Ui(Form).cbAutoQuery->isChecked();
}

QString Echo(const std::string& Frame) {
    QString text;
    for (unsigned char c : Frame)
        text += QStringLiteral("%1 ").arg(c, 2, 16, QLatin1Char('0')).toUpper();
    return text;
}

std::string CommandFrame(std::uint8_t Addr, std::uint8_t CID2) {
    std::vector<std::uint8_t> packet(TDH::GetCmdPacketLen(CID2));
    TDH::GenCmdPacket(TDH_Header{0x10, Addr, 0x60, CID2}, packet, {});
    return std::string(packet.begin(), packet.end());
}

TFormUi Ui(const TForm1& Form) {
    auto find = [&]<class T>(T*& Control, const char* Name) {
        Control = Form.findChild<T*>(QLatin1String(Name));
        if (!Control) throw std::runtime_error(std::string("no control ") + Name);
    };
    TFormUi u{};
    find(u.grpComm, "grpComm");
    find(u.cbPort, "cbPort");
    find(u.cbBaudrate, "cbBaudrate");
    find(u.cbDatabits, "cbDatabits");
    find(u.cbParity, "cbParity");
    find(u.cbStopBits, "cbStopBits");
    find(u.btnCommOpen, "btnCommOpen");
    find(u.grpCmdSetting, "grpCmdSetting");
    find(u.edAddr, "edAddr");
    find(u.cbAutoQuery, "cbAutoQuery");
    find(u.edQueryInterval, "edQueryInterval");
    find(u.edRespOvTime, "edRespOvTime");
    find(u.Label14, "Label14");
    find(u.btnReadSwitch, "btnReadSwitch");
    find(u.btnReadAnalog, "btnReadAnalog");
    find(u.btnReadAlarm, "btnReadAlarm");
    find(u.PageControl1, "PageControl1");
    find(u.TabSheet1, "TabSheet1");
    find(u.TabSheet2, "TabSheet2");
    find(u.TabSheet3, "TabSheet3");
    find(u.TabSheet4, "TabSheet4");
    find(u.Memo1, "Memo1");
    find(u.Memo2, "Memo2");
    find(u.lblComRes, "lblComRes");
    return u;
}

TDispatchSpy::TDispatchSpy(TForm1& Form, TSeen Seen) : FForm(Form), FSeen(std::move(Seen)) {
    FForm.Monitor().AddObserver(*this);
}

TDispatchSpy::~TDispatchSpy() {
    FForm.Monitor().RemoveObserver(*this);
}

void TDispatchSpy::OnReplyReceived(const aircon::TReplyReceived& Reply) {
    if (Reply.Rtn != 0) return;
    FSeen(TDH_Header{Reply.Header.Ver, Reply.Header.Addr, Reply.Header.CID1, Reply.LastCID2},
          Reply.Info, Reply.HasDecoder);
}
