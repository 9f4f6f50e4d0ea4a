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
#include <vector>

#include "CommandOutcome.h"
#include "DesignGroupBox.h"
#include "Form1.h"
#include "GetUnitParams.h"
#include "MessageBoxes.h"
#include "Model.h"
#include "MonitorUnit.h"
#include "PanelKit.h"
#include "Render.h"
#include "UnitDecoders.h"

namespace {

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

// One radio button of the editor: its name and the code it sends; its caption is the word
// of that code in its group's word table.
struct RadioLayout {
    const char* Name;
    std::uint16_t Code;
};

// The editor's radio groups in their design order.
constexpr RadioLayout ModeRadios[] = {
    {"rbSetModeAuto", 0}, {"rbSetModeCool", 1},   {"rbSetModeDry", 2}, {"rbSetModeFan", 3},
    {"rbSetModeHeat", 4}, {"rbSetModeNewFan", 5}, {"rbSetModeAir", 6}};
constexpr RadioLayout IFanRadios[] = {
    {"rbSetIFanStop", 0}, {"rbSetIFanLow", 1}, {"rbSetIFanMid", 2}, {"rbSetIFanHigh", 3}};
constexpr RadioLayout SwapRadios[] = {{"rbSetSwapOn", 1}, {"rbSetSwapOff", 0}};
constexpr RadioLayout DisLocRadios[] = {{"rbSetDisLocOff", 0}, {"rbSetDisLocOn", 1}};

constexpr int RadioLefts[] = {19, 106, 193, 281, 368, 455, 543};

// One radio group of the editor: its box (captioned with its parameter field) and its buttons
// in design order, worded from a state word table (the fan's stop button says "停", as the
// monitor panel does).
struct TRadioGroupLayout {
    TParamSource Source;
    const char* Name;
    const char* FieldKey;
    int Top;
    std::span<const RadioLayout> Radios;
    std::span<const aircon::TStateWord> Words;
    std::size_t Checked;
};

const TRadioGroupLayout RadioGroups[] = {
    {TParamSource::RunMode, "grpSetMode", "run_mode", 72, ModeRadios,
     aircon::StateWords::RunModeParam, 1},
    {TParamSource::IndoorFan, "grpSetIFan", "indoor_fan_speed", 127, IFanRadios,
     aircon::StateWords::FanSpeedMonitor, 3},
    {TParamSource::Swing, "grpSetSwap", "swing", 182, SwapRadios, aircon::StateWords::RunStopParam,
     1},
    {TParamSource::LocalLock, "grpSetDisLoc", "local_lock", 237, DisLocRadios,
     aircon::StateWords::AllowBlockParam, 0},
};

QString Utf8(std::string_view Text) {
    return QString::fromUtf8(Text.data(), static_cast<qsizetype>(Text.size()));
}

QGroupBox* AddRadioGroup(QWidget* Parent, const TRadioGroupLayout& Group,
                         std::vector<QRadioButton*>& Buttons) {
    const aircon::TFieldInfo* field =
        aircon::FindField(aircon::TFieldGroup::UserParams, Group.FieldKey);
    auto* g = new TDesignGroupBox(field ? Utf8(field->Caption) : QString(), Parent);
    g->setObjectName(QLatin1String(Group.Name));
    g->setGeometry(24, Group.Top, 609, 49);
    for (std::size_t i = 0; i < Group.Radios.size(); ++i) {
        const RadioLayout& radio = Group.Radios[i];
        QRadioButton* r =
            AddRadio(g, radio.Name, Utf8(aircon::StateWord(Group.Words, radio.Code).value_or("")),
                     RadioLefts[i], 21, 47);
        r->setProperty("code", radio.Code);
        r->setChecked(i == Group.Checked);
        Buttons.push_back(r);
    }
    g->setEnabled(false);
    return g;
}

// The code of the checked button of a group.
std::optional<std::uint16_t> CheckedCode(const std::vector<QRadioButton*>& Buttons) {
    for (const QRadioButton* b : Buttons) {
        if (b->isChecked()) return static_cast<std::uint16_t>(b->property("code").toUInt());
    }
    return std::nullopt;
}

// The identity tabs: caption, value label, read button.
struct TIdentityLayout {
    QLabel* TIdentityLabels::*Single;  // or null for a vendor field
    const char* VendorKey;             // a vendor field: its key in the core's VendorFields
    const char* Name;
    const char* Caption;  // of a single value; a vendor field's caption is the field's
    int CaptionLeft, ValueLeft, Top;
};

// The identity tabs' value labels, each with its caption, in design places.
const TIdentityLayout IdentityFields[] = {
    {&TIdentityLabels::DevVer, nullptr, "lblGetDevVer", "当前设备协议版本号", 32, 160, 32},
    {&TIdentityLabels::DevAddr, nullptr, "lblGetDevAddr", "当前设备地址", 40, 130, 40},
    {nullptr, "device_name", "lblGetDevName", nullptr, 43, 133, 32},
    {nullptr, "software_version", "lblGetFacSoftVer", nullptr, 43, 133, 51},
    {nullptr, "vendor_name", "lblGetFacName", nullptr, 43, 133, 70},
};

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
    FRemoteOn = AddRadio(remote, "rbOn", QStringLiteral("开机"), 40, 24, 44);
    FRemoteOn->setChecked(true);
    AddRadio(remote, "rbOff", QStringLiteral("关机"), 192, 24, 49);
    QPushButton* remoteButton = AddButton(remote, "btnRemote", QStringLiteral("确定"), 574, 24);
    connect(remoteButton, &QPushButton::clicked, this, [this] { btnRemoteClick(); });

    // Parameter editor. The design's 370 pixels would run 2 pixels past the
    // foot of the tab and cut the group's lower border; 366 keeps it whole.
    QGroupBox* editor =
        AddFacedGroup(TabSheet3, "GroupBox1", QStringLiteral("用户参数"), QRect(16, 103, 745, 366));
    AddPanelLabel(editor, QStringLiteral("cmbSetParamCaption"), QStringLiteral("参数："), 53, 40);
    FEditor.cmbSetParam = new QComboBox(editor);
    FEditor.cmbSetParam->setObjectName(QStringLiteral("cmbSetParam"));
    for (int i = 0; i < ParamCount; ++i)
        FEditor.cmbSetParam->addItem(ParamListText(i));
    FEditor.cmbSetParam->setCurrentIndex(0);
    FEditor.cmbSetParam->setGeometry(95, 37, 217, 21);
    FEditor.cmbSetParam->setCursor(Qt::PointingHandCursor);
    AddPanelLabel(editor, QStringLiteral("edSetParamValCaption"), QStringLiteral("设定值："), 333,
                  40);
    FEditor.edSetParamVal = new QLineEdit(QStringLiteral("32"), editor);
    FEditor.edSetParamVal->setObjectName(QStringLiteral("edSetParamVal"));
    FEditor.edSetParamVal->setAlignment(Qt::AlignCenter);
    FEditor.edSetParamVal->setGeometry(383, 37, 64, 21);
    FEditor.edSetParamVal->setAttribute(Qt::WA_InputMethodEnabled, false);
    FEditor.edSetParamVal->setInputMethodHints(Qt::ImhDigitsOnly);
    AttachDigitFilter(FEditor.edSetParamVal);
    for (const TRadioGroupLayout& g : RadioGroups) {
        const auto at = static_cast<std::size_t>(g.Source);
        FEditor.Groups[at] = AddRadioGroup(editor, g, FEditor.Radios[at]);
    }
    QPushButton* setParam = AddButton(editor, "btnSetParam", QStringLiteral("设置"), 372, 306);
    connect(FEditor.cmbSetParam, &QComboBox::currentIndexChanged, this,
            [this] { cmbSetParamChange(); });
    connect(setParam, &QPushButton::clicked, this, [this] { btnSetParamClick(); });
    FOutcomes->Place(remote, editor);

    // Identity tabs.
    const QString unknown = QString::fromUtf8(TextUnknown.data(), TextUnknown.size());
    for (const TIdentityLayout& f : IdentityFields) {
        QWidget* tab = f.Single == &TIdentityLabels::DevVer    ? TabSheet6
                       : f.Single == &TIdentityLabels::DevAddr ? TabSheet7
                                                               : TabSheet8;
        const aircon::TFieldInfo* vendor =
            f.VendorKey ? aircon::FindField(aircon::TFieldGroup::Vendor, f.VendorKey) : nullptr;
        const QString caption =
            (vendor ? Utf8(vendor->Caption) : QString::fromUtf8(f.Caption)) + QStringLiteral("：");
        QLabel* value = AddCaptionedValue(tab, QLatin1String(f.Name), caption, f.CaptionLeft,
                                          unknown, f.ValueLeft, f.Top);
        if (f.Single)
            FIdentity.*f.Single = value;
        else if (vendor)
            FIdentity.Vendor[static_cast<std::size_t>(vendor - aircon::VendorFields.data())] =
                value;
    }
    QPushButton* comVer = AddButton(TabSheet6, "btnGetComVer", QStringLiteral("读取"), 280, 27);
    connect(comVer, &QPushButton::clicked, this, [this] { btnGetComVerClick(); });
    QPushButton* devAddr = AddButton(TabSheet7, "btnGetDevAddr", QStringLiteral("读取"), 291, 35);
    connect(devAddr, &QPushButton::clicked, this, [this] { btnGetDevAddrClick(); });
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

// --- reply decoders: parsed by the core, shown from the typed record ---

std::string TForm1::Decode_42_Info(TDH_Header, const std::uint8_t* DataInfo,
                                   std::uint16_t DataSize) {
    if (const auto values = aircon::ParseAnalog(InfoOf(DataInfo, DataSize)))
        ShowAnalog(FMonitors, *values);
    return {};
}

std::string TForm1::Decode_43_Info(TDH_Header, const std::uint8_t* DataInfo,
                                   std::uint16_t DataSize) {
    if (const auto states = aircon::ParseSwitches(InfoOf(DataInfo, DataSize)))
        ShowSwitches(FMonitors, *states);
    return {};
}

std::string TForm1::Decode_44_Info(TDH_Header, const std::uint8_t* DataInfo,
                                   std::uint16_t DataSize) {
    if (const auto alarms = aircon::ParseAlarms(InfoOf(DataInfo, DataSize)))
        ShowAlarms(FMonitors, *alarms);
    return {};
}

std::string TForm1::Decode_47_Info(TDH_Header, const std::uint8_t* DataInfo,
                                   std::uint16_t DataSize) {
    if (!FGetParams) return {};
    if (const auto params = aircon::ParseUserParams(InfoOf(DataInfo, DataSize)))
        ShowUserParams(*FGetParams, *params);
    return {};
}

std::string TForm1::Decode_4F_Info(TDH_Header Header, const std::uint8_t*, std::uint16_t) {
    ShowProtocolVersion(FIdentity.DevVer, Header.Ver);
    return {};
}

std::string TForm1::Decode_50_Info(TDH_Header Header, const std::uint8_t*, std::uint16_t) {
    ShowDeviceAddress(FIdentity.DevAddr, Header.Addr);
    return {};
}

std::string TForm1::Decode_51_Info(TDH_Header, const std::uint8_t* DataInfo,
                                   std::uint16_t DataSize) {
    if (const auto vendor = aircon::ParseVendorInfo(InfoOf(DataInfo, DataSize)))
        ShowVendorInfo(FIdentity.Vendor, *vendor);
    return {};
}

// --- parameter editor ---

void TForm1::btnGetParamClick() {
    QueueCommand(TIntCMD{CID2::UserParams, 0, 0});
}

void TForm1::cmbSetParamChange() {
    const TParamSource source = ParamSource(FEditor.cmbSetParam->currentIndex());
    FEditor.edSetParamVal->setEnabled(source == TParamSource::Edit);
    for (const TRadioGroupLayout& g : RadioGroups)
        FEditor.Groups[static_cast<std::size_t>(g.Source)]->setEnabled(source == g.Source);
    FOutcomes->ShowCurrent(FEditor.cmbSetParam->currentIndex());
}

void TForm1::btnSetParamClick() {
    if (Listening()) return;  // a listener sends nothing
    const int index = FEditor.cmbSetParam->currentIndex();
    if (index < 0) return;  // no parameter chosen
    FIntCmd.Param = aircon::ParamFieldCode(static_cast<std::size_t>(index));

    // The value comes from the input that belongs to the parameter, touched or not.
    const TParamSource source = ParamSource(index);
    const auto& radios = FEditor.Radios[static_cast<std::size_t>(source)];
    std::optional<std::uint16_t> chosen;
    switch (source) {
        case TParamSource::RunMode:
        case TParamSource::IndoorFan:
        case TParamSource::Swing:
        case TParamSource::LocalLock:
            chosen = CheckedCode(radios);
            break;
        case TParamSource::Edit: {
            const TParamValue parsed = ParseParamValue(FEditor.edSetParamVal->text());
            if (!parsed.Value) {
                MessageBoxes::ShowApplicationError(this, parsed.Error);
                return;
            }
            chosen = parsed.Value;
            break;
        }
    }
    if (chosen) FIntCmd.Value = *chosen;
    // Queued as the item above, followed by a read-back when the controller takes it.
    FOutcomes->SetParam(FIntCmd.Param, FIntCmd.Value);
}

// --- remote control and identity ---

void TForm1::btnRemoteClick() {
    if (Listening()) return;  // a listener sends nothing
    const std::uint8_t code = FRemoteOn->isChecked() ? 0x10 : 0x1F;
    // Switching off stops a shelter's cooling: the operator confirms it for the
    // controller it goes to.
    if (code == 0x1F && !ConfirmRemoteOff()) return;
    QueueCommand(TIntCMD{CID2::Remote, code, 0});
    FOutcomes->RemoteQueued(TIntCMD{CID2::Remote, code, 0});
}

void TForm1::btnGetComVerClick() {
    QueueCommand(TIntCMD{CID2::Version, 0, 0});
}
void TForm1::btnGetDevAddrClick() {
    QueueCommand(TIntCMD{CID2::Address, 0, 0});
}
void TForm1::btnGetDevInfoClick() {
    QueueCommand(TIntCMD{CID2::VendorInfo, 0, 0});
}
