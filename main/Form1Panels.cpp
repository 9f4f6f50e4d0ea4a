// The unit panels and the contents of the tabs: the two monitor panels, the
// parameter panel, the parameter editor and remote control, the identity
// tabs, their buttons and the reply decoders that fill them.
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>
#include <array>

#include "DesignGroupBox.h"
#include "Form1.h"
#include "GetUnitParams.h"
#include "MessageBoxes.h"
#include "MonitorUnit.h"
#include "PanelLabels.h"
#include "Render.h"
#include "UnitDecoders.h"

namespace {

// The controls of the tabs are found by their names, which are part of the
// window's interface.
template <class T>
T* Control(const QObject* Owner, const char* Name) {
    return Owner->findChild<T*>(QLatin1String(Name));
}

// The INFO bytes of a reply as handed to a decoder.
std::span<const std::uint8_t> InfoOf(const std::uint8_t* DataInfo, std::uint16_t DataSize) {
    if (DataInfo == nullptr) return {};
    return {DataInfo, DataSize};
}

QPushButton* AddButton(QWidget* Parent, const char* Name, const QString& Caption, int Left,
                       int Top) {
    auto* b = new QPushButton(Caption, Parent);
    b->setObjectName(QLatin1String(Name));
    b->setGeometry(Left, Top, 75, 25);
    b->setCursor(Qt::PointingHandCursor);
    b->setAutoDefault(false);
    return b;
}

// A radio button at its design place; never narrower than its text needs.
QRadioButton* AddRadio(QWidget* Parent, const char* Name, const QString& Caption, int Left, int Top,
                       int Width) {
    auto* r = new QRadioButton(Caption, Parent);
    r->setObjectName(QLatin1String(Name));
    r->setGeometry(Left, Top, std::max(Width, r->sizeHint().width()), 17);
    return r;
}

// A group box painted in the button-face colour instead of the tab's background.
QGroupBox* AddFacedGroup(QWidget* Parent, const char* Name, const QString& Caption, QRect Rect) {
    auto* g = new TDesignGroupBox(Caption, Parent);
    g->setObjectName(QLatin1String(Name));
    g->setGeometry(Rect);
    QPalette pal = g->palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    g->setPalette(pal);
    g->setAutoFillBackground(true);
    return g;
}

struct RadioSpec {
    const char* Name;
    const char* Caption;
};

// The editor's radio groups in their design order. For run mode and fan speed
// a button's place in its group is the code it sends.
constexpr RadioSpec ModeRadios[] = {{"rbSetModeAuto", "自动"}, {"rbSetModeCool", "制冷"},
                                    {"rbSetModeDry", "除湿"},  {"rbSetModeFan", "送风"},
                                    {"rbSetModeHeat", "制热"}, {"rbSetModeNewFan", "新风"},
                                    {"rbSetModeAir", "空调"}};
constexpr RadioSpec IFanRadios[] = {{"rbSetIFanStop", "停"},
                                    {"rbSetIFanLow", "低风"},
                                    {"rbSetIFanMid", "中风"},
                                    {"rbSetIFanHigh", "高风"}};
constexpr RadioSpec SwapRadios[] = {{"rbSetSwapOn", "运转"}, {"rbSetSwapOff", "停止"}};
constexpr RadioSpec DisLocRadios[] = {{"rbSetDisLocOff", "允许"}, {"rbSetDisLocOn", "屏蔽"}};

constexpr int RadioLefts[] = {19, 106, 193, 281, 368, 455, 543};

QGroupBox* AddRadioGroup(QWidget* Parent, const char* Name, const char* Caption, int Top,
                         std::span<const RadioSpec> Radios, std::size_t Checked) {
    auto* g = new TDesignGroupBox(QString::fromUtf8(Caption), Parent);
    g->setObjectName(QLatin1String(Name));
    g->setGeometry(24, Top, 609, 49);
    for (std::size_t i = 0; i < Radios.size(); ++i) {
        QRadioButton* r = AddRadio(g, Radios[i].Name, QString::fromUtf8(Radios[i].Caption),
                                   RadioLefts[i], 21, 47);
        r->setChecked(i == Checked);
    }
    g->setEnabled(false);
    return g;
}

// The code of the first checked button of a group, in the group's order.
std::optional<std::uint16_t> CheckedCode(const QObject* Owner, std::span<const RadioSpec> Radios) {
    for (std::size_t i = 0; i < Radios.size(); ++i) {
        if (const auto* r = Control<QRadioButton>(Owner, Radios[i].Name); r && r->isChecked())
            return static_cast<std::uint16_t>(i);
    }
    return std::nullopt;
}

bool IsChecked(const QObject* Owner, const char* Name) {
    const auto* r = Control<QRadioButton>(Owner, Name);
    return r && r->isChecked();
}

}  // namespace

void TForm1::CreatePanels() {
    // The two unit monitor panels, one per tab.
    for (std::size_t i = 0; i < FMonitors.size(); ++i) {
        auto* panel = new TfrmMonitorUnit(i == 0 ? TabSheet1 : TabSheet2);
        panel->setObjectName(QStringLiteral("Monitors%1").arg(i));
        panel->move(28, 0);
        FMonitors[i] = panel;
    }

    // The parameter panel and its read button.
    FGetParams = new TfrmGetUnitParams(TabSheet4);
    FGetParams->move(39, 15);
    FGetParams->grpParams->setTitle(QStringLiteral("空调参数"));
    // The design's top of 448 would cut the button's foot at the tab's lower
    // edge; 444 shows it whole.
    QPushButton* getParam = AddButton(TabSheet4, "btnGetParam", QStringLiteral("读取"), 281, 444);
    connect(getParam, &QPushButton::clicked, this, [this] { btnGetParamClick(); });

    // Remote control.
    QGroupBox* remote =
        AddFacedGroup(TabSheet3, "GroupBox3", QStringLiteral("遥控指令"), QRect(18, 16, 743, 81));
    AddRadio(remote, "rbOn", QStringLiteral("开机"), 40, 24, 44)->setChecked(true);
    AddRadio(remote, "rbOff", QStringLiteral("关机"), 192, 24, 49);
    QPushButton* remoteButton = AddButton(remote, "btnRemote", QStringLiteral("确定"), 574, 24);
    connect(remoteButton, &QPushButton::clicked, this, [this] { btnRemoteClick(); });

    // Parameter editor. The design's 370 pixels would run 2 pixels past the
    // foot of the tab and cut the group's lower border; 366 keeps it whole.
    QGroupBox* editor =
        AddFacedGroup(TabSheet3, "GroupBox1", QStringLiteral("用户参数"), QRect(16, 103, 745, 366));
    AddPanelLabel(editor, QStringLiteral("cmbSetParamCaption"), QStringLiteral("参数："), 53, 40);
    auto* params = new QComboBox(editor);
    params->setObjectName(QStringLiteral("cmbSetParam"));
    for (const char* text : ParamListTexts)
        params->addItem(QString::fromUtf8(text));
    params->setCurrentIndex(0);
    params->setGeometry(95, 37, 217, 21);
    params->setCursor(Qt::PointingHandCursor);
    AddPanelLabel(editor, QStringLiteral("edSetParamValCaption"), QStringLiteral("设定值："), 333,
                  40);
    auto* value = new QLineEdit(QStringLiteral("32"), editor);
    value->setObjectName(QStringLiteral("edSetParamVal"));
    value->setAlignment(Qt::AlignCenter);
    value->setGeometry(383, 37, 64, 21);
    value->setAttribute(Qt::WA_InputMethodEnabled, false);
    value->setInputMethodHints(Qt::ImhDigitsOnly);
    AttachDigitFilter(value);
    AddRadioGroup(editor, "grpSetMode", "运行模式设定", 72, ModeRadios, 1);
    AddRadioGroup(editor, "grpSetIFan", "内风机风速设定", 127, IFanRadios, 3);
    AddRadioGroup(editor, "grpSetSwap", "摆风功能设定", 182, SwapRadios, 1);
    AddRadioGroup(editor, "grpSetDisLoc", "屏蔽本地操作", 237, DisLocRadios, 0);
    QPushButton* setParam = AddButton(editor, "btnSetParam", QStringLiteral("设置"), 372, 306);
    connect(params, &QComboBox::currentIndexChanged, this, [this] { cmbSetParamChange(); });
    connect(setParam, &QPushButton::clicked, this, [this] { btnSetParamClick(); });

    // Identity tabs.
    const QString unknown = QString::fromUtf8(TextUnknown.data(), TextUnknown.size());
    AddCaptionedValue(TabSheet6, QStringLiteral("lblGetDevVer"),
                      QStringLiteral("当前设备协议版本号："), 32, unknown, 160, 32);
    QPushButton* comVer = AddButton(TabSheet6, "btnGetComVer", QStringLiteral("读取"), 280, 27);
    connect(comVer, &QPushButton::clicked, this, [this] { btnGetComVerClick(); });

    AddCaptionedValue(TabSheet7, QStringLiteral("lblGetDevAddr"), QStringLiteral("当前设备地址："),
                      40, unknown, 130, 40);
    QPushButton* devAddr = AddButton(TabSheet7, "btnGetDevAddr", QStringLiteral("读取"), 291, 35);
    connect(devAddr, &QPushButton::clicked, this, [this] { btnGetDevAddrClick(); });

    AddCaptionedValue(TabSheet8, QStringLiteral("lblGetDevName"), QStringLiteral("采集器名称："),
                      43, unknown, 133, 32);
    AddCaptionedValue(TabSheet8, QStringLiteral("lblGetFacSoftVer"),
                      QStringLiteral("厂商软件版本："), 43, unknown, 133, 51);
    AddCaptionedValue(TabSheet8, QStringLiteral("lblGetFacName"), QStringLiteral("厂商名称："), 43,
                      unknown, 133, 70);
    QPushButton* devInfo = AddButton(TabSheet8, "btnGetDevInfo", QStringLiteral("读取"), 271, 200);
    connect(devInfo, &QPushButton::clicked, this, [this] { btnGetDevInfoClick(); });
}

void TForm1::FreePanels() {
    delete FGetParams;
    FGetParams = nullptr;
    for (TfrmMonitorUnit*& panel : FMonitors) {
        delete panel;
        panel = nullptr;
    }
}

// --- reply decoders ---

std::string TForm1::Decode_42_Info(TDH_Header, const std::uint8_t* DataInfo,
                                   std::uint16_t DataSize) {
    if (FMonitors[0] && FMonitors[1]) DecodeAnalogInfo(FMonitors, InfoOf(DataInfo, DataSize));
    return {};
}

std::string TForm1::Decode_43_Info(TDH_Header, const std::uint8_t* DataInfo,
                                   std::uint16_t DataSize) {
    if (FMonitors[0] && FMonitors[1]) DecodeSwitchInfo(FMonitors, InfoOf(DataInfo, DataSize));
    return {};
}

std::string TForm1::Decode_44_Info(TDH_Header, const std::uint8_t* DataInfo,
                                   std::uint16_t DataSize) {
    if (FMonitors[0] && FMonitors[1]) DecodeAlarmInfo(FMonitors, InfoOf(DataInfo, DataSize));
    return {};
}

std::string TForm1::Decode_47_Info(TDH_Header, const std::uint8_t* DataInfo,
                                   std::uint16_t DataSize) {
    if (FGetParams) DecodeUserParamsInfo(*FGetParams, InfoOf(DataInfo, DataSize));
    return {};
}

std::string TForm1::Decode_4F_Info(TDH_Header Header, const std::uint8_t*, std::uint16_t) {
    if (auto* l = Control<QLabel>(this, "lblGetDevVer")) ShowProtocolVersion(l, Header.Ver);
    return {};
}

std::string TForm1::Decode_50_Info(TDH_Header Header, const std::uint8_t*, std::uint16_t) {
    if (auto* l = Control<QLabel>(this, "lblGetDevAddr")) ShowDeviceAddress(l, Header.Addr);
    return {};
}

std::string TForm1::Decode_51_Info(TDH_Header, const std::uint8_t* DataInfo,
                                   std::uint16_t DataSize) {
    auto* name = Control<QLabel>(this, "lblGetDevName");
    auto* soft = Control<QLabel>(this, "lblGetFacSoftVer");
    auto* vendor = Control<QLabel>(this, "lblGetFacName");
    if (name && soft && vendor) DecodeVendorInfo(name, soft, vendor, InfoOf(DataInfo, DataSize));
    return {};
}

// --- parameter editor ---

void TForm1::btnGetParamClick() {
    QueueCommand(TIntCMD{0x47, 0, 0});
}

void TForm1::cmbSetParamChange() {
    const auto* params = Control<QComboBox>(this, "cmbSetParam");
    if (!params) return;
    const TParamSource source = ParamSource(params->currentIndex());
    const std::pair<const char*, TParamSource> inputs[] = {
        {"edSetParamVal", TParamSource::Edit},
        {"grpSetMode", TParamSource::RunMode},
        {"grpSetIFan", TParamSource::IndoorFan},
        {"grpSetSwap", TParamSource::Swing},
        {"grpSetDisLoc", TParamSource::LocalLock}};
    for (const auto& [name, owner] : inputs) {
        if (auto* w = Control<QWidget>(this, name)) w->setEnabled(source == owner);
    }
}

void TForm1::btnSetParamClick() {
    const auto* params = Control<QComboBox>(this, "cmbSetParam");
    const auto* value = Control<QLineEdit>(this, "edSetParamVal");
    if (!params || !value) return;
    const int index = params->currentIndex();
    FIntCmd.Param = ParamCode(index);

    // The value comes from the input that belongs to the parameter, touched or not.
    std::optional<std::uint16_t> chosen;
    switch (ParamSource(index)) {
        case TParamSource::RunMode:
            chosen = CheckedCode(this, ModeRadios);
            break;
        case TParamSource::IndoorFan:
            chosen = CheckedCode(this, IFanRadios);
            break;
        case TParamSource::Swing:
            chosen = IsChecked(this, "rbSetSwapOn") ? 1 : 0;
            break;
        case TParamSource::LocalLock:
            chosen = IsChecked(this, "rbSetDisLocOn") ? 1 : 0;
            break;
        case TParamSource::Edit: {
            const TParamValue parsed = ParseParamValue(value->text());
            if (!parsed.Value) {
                MessageBoxes::ShowApplicationError(this, parsed.Error);
                return;
            }
            chosen = parsed.Value;
            break;
        }
    }
    if (chosen) FIntCmd.Value = *chosen;
    QueueCommand(TIntCMD{0x49, FIntCmd.Param, FIntCmd.Value});
}

// --- remote control and identity ---

void TForm1::btnRemoteClick() {
    const auto* on = Control<QRadioButton>(this, "rbOn");
    const std::uint8_t code = (on && on->isChecked()) ? 0x10 : 0x1F;
    QueueCommand(TIntCMD{0x45, code, 0});
}

void TForm1::btnGetComVerClick() {
    QueueCommand(TIntCMD{0x4F, 0, 0});
}
void TForm1::btnGetDevAddrClick() {
    QueueCommand(TIntCMD{0x50, 0, 0});
}
void TForm1::btnGetDevInfoClick() {
    QueueCommand(TIntCMD{0x51, 0, 0});
}
