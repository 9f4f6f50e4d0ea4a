// The window's own controls, built in one place from typed layout tables: each row
// names the member that keeps the control, its object name (the member's name), its
// parent box, its caption or items and its design place. Handlers are bound here too.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

#include "ComComboBox.h"
#include "ComText.h"
#include "DesignGroupBox.h"
#include "DigitFilter.h"
#include "Form1.h"
#include "HexLog.h"
#include "LineChoices.h"
#include "PanelKit.h"

namespace {

// Fonts of the design: Tahoma 8 pt (11 px) for the window, 微软雅黑 9 pt (12 px)
// for the status label; the CJK fallbacks keep the Chinese captions readable.
QFont DesignFont(QStringList Families, int PixelSize) {
    Families << QStringLiteral("WenQuanYi Micro Hei") << QStringLiteral("Noto Sans CJK SC")
             << QStringLiteral("Droid Sans Fallback") << QStringLiteral("sans-serif");
    QFont font;
    font.setFamilies(Families);
    font.setPixelSize(PixelSize);
    return font;
}

// Where a control sits: on the window or in one of its two group boxes.
enum class TBox { Window, Comm, CmdSetting };

}  // namespace

void TForm1::CreateControls() {
    setWindowTitle(QStringLiteral("基站空调专用PC（Ver1.0-D）"));
    setFont(DesignFont({QStringLiteral("Tahoma")}, 11));
    resize(DesignWidth, DesignHeight);
    setAutoFillBackground(true);

    // Group boxes draw their caption on the frame line, as the design places the
    // first row of controls right under it.
    struct TGroupRow {
        QGroupBox* TForm1::*Member;
        const char* Name;
        const char* Caption;
        QRect Place;
    };
    static const TGroupRow groups[] = {
        {&TForm1::grpComm, "grpComm", "串口设置", {8, 2, 797, 49}},
        {&TForm1::grpCmdSetting, "grpCmdSetting", "监控设置", {8, 47, 797, 79}},
    };
    for (const TGroupRow& g : groups) {
        auto* box = new TDesignGroupBox(QString::fromUtf8(g.Caption), this);
        box->setObjectName(QLatin1String(g.Name));
        box->setGeometry(g.Place);
        this->*g.Member = box;
    }
    auto parent = [this](TBox Box) -> QWidget* {
        switch (Box) {
            case TBox::Comm:
                return grpComm;
            case TBox::CmdSetting:
                return grpCmdSetting;
            case TBox::Window:
                break;
        }
        return this;
    };

    struct TLabelRow {
        QLabel* TForm1::*Member;
        const char* Name;
        TBox Box;
        const char* Caption;
        int Left, Top;
    };
    static const TLabelRow labels[] = {
        {&TForm1::Label1, "Label1", TBox::Comm, "串口号：", 17, 20},
        {&TForm1::Label2, "Label2", TBox::Comm, "波特率：", 181, 20},
        {&TForm1::Label3, "Label3", TBox::Comm, "数据位：", 310, 20},
        {&TForm1::Label4, "Label4", TBox::Comm, "校验位：", 413, 20},
        {&TForm1::Label5, "Label5", TBox::Comm, "停止位：", 512, 20},
        {&TForm1::Label9, "Label9", TBox::CmdSetting, "地址：", 19, 23},
        {&TForm1::Label10, "Label10", TBox::CmdSetting, "监控轮询时间：", 226, 23},
        {&TForm1::Label11, "Label11", TBox::CmdSetting, "毫秒", 367, 23},
        {&TForm1::Label6, "Label6", TBox::CmdSetting, "应答超时：", 413, 23},
        {&TForm1::Label7, "Label7", TBox::CmdSetting, "毫秒", 524, 23},
        {&TForm1::Label14, "Label14", TBox::CmdSetting, "", 572, 22},
        {&TForm1::Label13, "Label13", TBox::CmdSetting, "手动获取：", 17, 55},
        {&TForm1::Label8, "Label8", TBox::Window, "发送", 8, 642},
        {&TForm1::Label12, "Label12", TBox::Window, "接收：", 8, 685},
        // The reply result sits right of the manual read buttons, under the status
        // label, where the operator sees it next to the status it qualifies.
        {&TForm1::lblComRes, "lblComRes", TBox::Window, "", 580, 102},
    };
    for (const TLabelRow& l : labels) {
        auto* label = new QLabel(QString::fromUtf8(l.Caption), parent(l.Box));
        label->setObjectName(QLatin1String(l.Name));
        label->move(l.Left, l.Top);
        label->adjustSize();
        this->*l.Member = label;
    }
    Label14->setFont(
        DesignFont({QStringLiteral("Microsoft YaHei"), QStringLiteral("微软雅黑")}, 12));
    SetCaption(Label14, QStringLiteral("通讯状态：未连接"));
    // The status stays readable while the group is greyed out on a closed link,
    // which is exactly when it reads "通讯状态：断开".
    SetLabelColor(Label14, clWindowText());
    lblComRes->setMinimumWidth(200);

    // The port selector, then the four line-setting selectors.
    cbPort = new TComComboBox(grpComm);
    cbPort->setObjectName(QStringLiteral("cbPort"));
    cbPort->SetComProperty(TComProperty::CpPort);
    cbPort->SetAutoApply(true);
    cbPort->setGeometry(64, 18, 65, 21);
    cbPort->setCursor(Qt::PointingHandCursor);
    // A long port name (a path) does not fit the narrow box: show it whole on hover.
    connect(cbPort, &QComboBox::currentTextChanged, cbPort, &QWidget::setToolTip);
    // Items from the window's line choices: texts of the serial component, words for parity.
    auto texts = [](const auto& List, auto Text) {
        std::vector<QString> out;
        for (const auto& choice : List)
            out.push_back(QString::fromUtf8(std::string(Text(choice))));
        return out;
    };
    struct TComboRow {
        QComboBox* TForm1::*Member;
        const char* Name;
        std::vector<QString> Items;
        int Current;
        int Left, Width;
        void (TForm1::*Change)();
    };
    const TComboRow combos[] = {
        {&TForm1::cbBaudrate, "cbBaudrate", texts(linechoices::BaudRates, BaudRateToText),
         linechoices::DefaultBaudRate, 226, 73, &TForm1::cbBaudrateChange},
        {&TForm1::cbDatabits, "cbDatabits", texts(linechoices::DataBits, DataBitsToText),
         linechoices::DefaultDataBits, 355, 49, &TForm1::cbDatabitsChange},
        {&TForm1::cbParity, "cbParity",
         texts(linechoices::Parities, [](const linechoices::TParityChoice& p) { return p.Word; }),
         linechoices::DefaultParity, 457, 49, &TForm1::cbParityChange},
        {&TForm1::cbStopBits, "cbStopBits", texts(linechoices::StopBits, StopBitsToText),
         linechoices::DefaultStopBits, 559, 49, &TForm1::cbStopBitsChange},
    };
    for (const TComboRow& c : combos) {
        auto* box = new QComboBox(grpComm);
        box->setObjectName(QLatin1String(c.Name));
        for (const QString& item : c.Items)
            box->addItem(item);
        box->setCurrentIndex(c.Current);
        box->setGeometry(c.Left, 18, c.Width, 21);
        box->setCursor(Qt::PointingHandCursor);
        connect(box, &QComboBox::activated, this, [this, change = c.Change] { (this->*change)(); });
        this->*c.Member = box;
    }

    struct TButtonRow {
        QPushButton* TForm1::*Member;
        const char* Name;
        TBox Box;
        const char* Caption;
        int Left, Top;
        void (TForm1::*Click)();
    };
    static const TButtonRow buttons[] = {
        {&TForm1::btnCommOpen, "btnCommOpen", TBox::Comm, "打开串口", 638, 18,
         &TForm1::btnCommOpenClick},
        {&TForm1::btnReadSwitch, "btnReadSwitch", TBox::CmdSetting, "读取开关量", 83, 51,
         &TForm1::btnReadSwitchClick},
        {&TForm1::btnReadAnalog, "btnReadAnalog", TBox::CmdSetting, "读取模拟量", 182, 51,
         &TForm1::btnReadAnalogClick},
        {&TForm1::btnReadAlarm, "btnReadAlarm", TBox::CmdSetting, "读取告警", 280, 51,
         &TForm1::btnReadAlarmClick},
    };
    for (const TButtonRow& b : buttons) {
        auto* button = new QPushButton(QString::fromUtf8(b.Caption), parent(b.Box));
        button->setObjectName(QLatin1String(b.Name));
        button->setGeometry(b.Left, b.Top, 75, 25);
        button->setCursor(Qt::PointingHandCursor);
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, [this, click = b.Click] { (this->*click)(); });
        this->*b.Member = button;
    }

    // The number boxes, digits only.
    FDigitFilter =
        new TDigitFilter([this](QObject* Sender, QChar& Key) { edIntKeyPress(Sender, Key); }, this);
    struct TEditRow {
        QLineEdit* TForm1::*Member;
        const char* Name;
        const char* Text;
        int MaxLength;  // 0: no limit
        int Left;
    };
    static const TEditRow edits[] = {
        {&TForm1::edAddr, "edAddr", "1", 3, 61},
        {&TForm1::edQueryInterval, "edQueryInterval", "500", 0, 312},
        {&TForm1::edRespOvTime, "edRespOvTime", "350", 3, 469},
    };
    for (const TEditRow& e : edits) {
        auto* edit = new QLineEdit(QString::fromUtf8(e.Text), grpCmdSetting);
        edit->setObjectName(QLatin1String(e.Name));
        edit->setAlignment(Qt::AlignCenter);
        if (e.MaxLength > 0) edit->setMaxLength(e.MaxLength);
        edit->setGeometry(e.Left, 20, 49, 21);
        // Digits only: no input method may compose other characters into the box.
        edit->setAttribute(Qt::WA_InputMethodEnabled, false);
        edit->setInputMethodHints(Qt::ImhDigitsOnly);
        AttachDigitFilter(edit);
        this->*e.Member = edit;
    }
    cbAutoQuery = new QCheckBox(QStringLiteral("自动轮询"), grpCmdSetting);
    cbAutoQuery->setObjectName(QStringLiteral("cbAutoQuery"));
    cbAutoQuery->setGeometry(141, 22, 72, 17);
    cbAutoQuery->setChecked(true);
    connect(cbAutoQuery, &QCheckBox::clicked, this, [this] { cbAutoQueryClick(); });
    grpCmdSetting->setEnabled(false);

    // Page control with its seven tabs; the panels fill them.
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setGeometry(8, 129, 801, 498);
    PageControl1->setEnabled(false);
    struct TTabRow {
        QWidget* TForm1::*Member;
        const char* Name;
        const char* Caption;
    };
    static const TTabRow tabs[] = {
        {&TForm1::TabSheet1, "TabSheet1", "监控  (空调1)"},
        {&TForm1::TabSheet2, "TabSheet2", "监控 (空调2)"},
        {&TForm1::TabSheet3, "TabSheet3", "用户参数"},
        {&TForm1::TabSheet4, "TabSheet4", "获取用户参数"},
        {&TForm1::TabSheet6, "TabSheet6", "获取协议版本号"},
        {&TForm1::TabSheet7, "TabSheet7", "获取设备地址"},
        {&TForm1::TabSheet8, "TabSheet8", "获取设备厂商信息"},
    };
    for (const TTabRow& t : tabs) {
        auto* page = new QWidget;
        page->setObjectName(QLatin1String(t.Name));
        PageControl1->addTab(page, QString::fromUtf8(t.Caption));
        this->*t.Member = page;
    }
    PageControl1->setCurrentIndex(0);
    // Each page is read out by its tab; the pages together by this name.
    PageControl1->setAccessibleName(QStringLiteral("功能页"));

    // The send and receive logs.
    for (auto [member, name, top] :
         {std::tuple{&TForm1::Memo1, "Memo1", 629}, std::tuple{&TForm1::Memo2, "Memo2", 672}}) {
        // A log box keeps one laid-out frame, not a text document: the logs change with
        // every command and every reply, which made text boxes most of the window's
        // work while polling.
        auto* m = new THexLog(this);
        m->setObjectName(QLatin1String(name));
        m->setGeometry(47, top, 762, 37);
        m->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        // The logs show hex digits only, which need no text shaping.
        QFont font = m->font();
        font.setStyleStrategy(QFont::PreferNoShaping);
        m->setFont(font);
        this->*member = m;
    }
    // The captions beside the logs name them for assistive technology.
    Label8->setBuddy(Memo1);
    Label12->setBuddy(Memo2);
    Memo1->setAccessibleName(Label8->text());
    Memo2->setAccessibleName(Label12->text().remove(QStringLiteral("：")));

    // Tab order: serial settings, monitoring settings, pages, logs.
    QWidget* order[] = {cbPort,       cbBaudrate,   cbDatabits,    cbParity,
                        cbStopBits,   btnCommOpen,  edAddr,        edQueryInterval,
                        edRespOvTime, cbAutoQuery,  btnReadSwitch, btnReadAnalog,
                        btnReadAlarm, PageControl1, Memo1,         Memo2};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    CreateExtension();
}

void TForm1::CreateExtension() {
    // Below the designed area: panels that open on demand, then the status bar. The
    // designed controls keep their places; the window grows by the height of what is
    // shown here.
    FExtension = new QWidget(this);
    FExtension->setObjectName(QStringLiteral("Extension"));
    auto* column = new QVBoxLayout(FExtension);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    FPanels = new QVBoxLayout;
    FPanels->setContentsMargins(0, 0, 0, 0);
    FPanels->setSpacing(0);
    column->addLayout(FPanels);
    // Two bars at the bottom: the link (its counters) above, the recording below.
    FLinkBar = new QStatusBar(FExtension);
    FLinkBar->setObjectName(QStringLiteral("LinkBar"));
    FLinkBar->setSizeGripEnabled(false);
    column->addWidget(FLinkBar);
    FStatusBar = new QStatusBar(FExtension);
    FStatusBar->setObjectName(QStringLiteral("StatusBar"));
    FStatusBar->setSizeGripEnabled(false);
    column->addWidget(FStatusBar);
    FExtension->installEventFilter(this);
    FitExtension();
}

void TForm1::AddBottomPanel(QWidget* Panel) {
    FPanels->addWidget(Panel);
    FitExtension();
}

void TForm1::FitExtension() {
    if (FExtension == nullptr) return;
    FExtension->layout()->activate();
    const int height = FExtension->sizeHint().height();
    FExtension->setGeometry(0, DesignHeight, width(), height);
    if (this->height() != DesignHeight + height) resize(width(), DesignHeight + height);
}

bool TForm1::eventFilter(QObject* Watched, QEvent* Event) {
    // A panel shown or hidden below the designed area: the window follows its height.
    if (Watched == FExtension && Event->type() == QEvent::LayoutRequest) FitExtension();
    return QWidget::eventFilter(Watched, Event);
}

void TForm1::resizeEvent(QResizeEvent* Event) {
    QWidget::resizeEvent(Event);
    if (FExtension != nullptr)
        FExtension->setGeometry(0, DesignHeight, width(), FExtension->height());
}
