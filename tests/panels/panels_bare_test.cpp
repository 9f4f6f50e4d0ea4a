// The rendering rules, the panels' layout, the reply decoders and the
// parameter editor's rules, on bare panels.

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QTest>

#include <algorithm>
#include <memory>

#include "GetUnitParams.h"
#include "MonitorUnit.h"
#include "Render.h"
#include "ReplyCases.h"
#include "UnitDecoders.h"

Q_DECLARE_METATYPE(TColour)

class PanelsBareTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QWidget> FHost;
    TMonitorPanels FMonitors{};
    TfrmGetUnitParams* FParams = nullptr;
    std::vector<QLabel*> FIdentity;

  private slots:
    void init() {
        FHost = std::make_unique<QWidget>();
        FHost->setObjectName("host");
        // The window's design font, which the panels inherit.
        QFont font;
        font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("WenQuanYi Micro Hei")});
        font.setPixelSize(11);
        FHost->setFont(font);
        FMonitors = {new TfrmMonitorUnit(FHost.get()), new TfrmMonitorUnit(FHost.get())};
        FParams = new TfrmGetUnitParams(FHost.get());
        FIdentity.clear();
        for (const char* n : {"lblGetDevVer", "lblGetDevAddr", "lblGetDevName", "lblGetFacSoftVer",
                              "lblGetFacName"}) {
            auto* l = new QLabel(QStringLiteral("未知"), FHost.get());
            l->setObjectName(n);
            FIdentity.push_back(l);
        }
    }
    void cleanup() { FHost.reset(); }

    void readingRendering_data() {
        QTest::addColumn<int>("hi");
        QTest::addColumn<int>("lo");
        QTest::addColumn<bool>("unsignedWord");
        QTest::addColumn<QString>("text");
        QTest::addColumn<TColour>("colour");
        QTest::newRow("sentinel unsigned") << 0x20 << 0x20 << true << "未检测" << TColour::Gray;
        QTest::newRow("sentinel signed") << 0x20 << 0x20 << false << "未检测" << TColour::Gray;
        QTest::newRow("0x2021 is no sentinel")
            << 0x20 << 0x21 << true << "8225" << TColour::WindowText;
        QTest::newRow("0x2120 is no sentinel")
            << 0x21 << 0x20 << false << "8480" << TColour::WindowText;
        QTest::newRow("300") << 0x01 << 0x2C << true << "300" << TColour::WindowText;
        QTest::newRow("FFFF unsigned") << 0xFF << 0xFF << true << "65535" << TColour::WindowText;
        QTest::newRow("FFFF signed") << 0xFF << 0xFF << false << "-1" << TColour::WindowText;
        QTest::newRow("8000 unsigned") << 0x80 << 0x00 << true << "32768" << TColour::WindowText;
        QTest::newRow("8000 signed") << 0x80 << 0x00 << false << "-32768" << TColour::WindowText;
        QTest::newRow("7FFF signed") << 0x7F << 0xFF << false << "32767" << TColour::WindowText;
        QTest::newRow("zero after sentinel") << 0x00 << 0x00 << false << "0" << TColour::WindowText;
    }
    void readingRendering() {
        QFETCH(int, hi);
        QFETCH(int, lo);
        QFETCH(bool, unsignedWord);
        QFETCH(QString, text);
        QFETCH(TColour, colour);
        QLabel lbl;
        const std::uint8_t sentinel[2] = {0x20, 0x20};
        PByteToIntegerStr(&lbl, sentinel, unsignedWord);  // start from "not detected"
        const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(hi),
                                       static_cast<std::uint8_t>(lo)};
        PByteToIntegerStr(&lbl, bytes, unsignedWord);
        QCOMPARE(lbl.text(), text);
        QCOMPARE(FontColor(&lbl), ExpectedColour(colour));
        // The label fits its text.
        QVERIFY(lbl.width() >= lbl.fontMetrics().horizontalAdvance(text));
    }

    void alarmRendering_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::addColumn<TColour>("colour");
        QTest::newRow("00 normal") << 0x00 << "正常" << TColour::Black;
        QTest::newRow("01 below") << 0x01 << "低于下限" << TColour::Lime;
        QTest::newRow("02 above") << 0x02 << "高于上限" << TColour::Fuchsia;
        QTest::newRow("20 not detected") << 0x20 << "未检测" << TColour::Gray;
        QTest::newRow("F0 fault") << 0xF0 << "故障" << TColour::Red;
        QTest::newRow("03 unknown") << 0x03 << "" << TColour::Keep;
        QTest::newRow("21 unknown") << 0x21 << "" << TColour::Keep;
        QTest::newRow("FF unknown") << 0xFF << "" << TColour::Keep;
    }
    void alarmRendering() {
        QFETCH(int, code);
        QFETCH(QString, text);
        QFETCH(TColour, colour);
        QLabel lbl(QStringLiteral("x"));
        SetFontColor(&lbl, MarkerColour);
        AlarmValueToStr(&lbl, static_cast<std::uint8_t>(code));
        QCOMPARE(lbl.text(), text);
        QCOMPARE(FontColor(&lbl), ExpectedColour(colour));
    }

    void unknownAlarmKeepsEarlierRed() {
        QLabel lbl;
        AlarmValueToStr(&lbl, 0xF0);
        AlarmValueToStr(&lbl, 0x03);
        QCOMPARE(lbl.text(), QString());
        QCOMPARE(FontColor(&lbl), QColor(255, 0, 0));
    }

    void colourSurvivesDisabling() {
        QWidget page;
        auto* lbl = new QLabel(&page);
        AlarmValueToStr(lbl, 0xF0);
        page.setEnabled(false);
        QCOMPARE(lbl->palette().color(QPalette::Disabled, QPalette::WindowText), QColor(255, 0, 0));
    }

    void monitorPanelStartsNotDetected() {
        FHost->show();
        TfrmMonitorUnit& m = *FMonitors[0];
        QCOMPARE(m.size(), QSize(685, 472));
        QCOMPARE(m.ValueLabels().size(), std::size_t{67});
        for (QLabel* l : m.ValueLabels()) {
            QCOMPARE(l->text(), QStringLiteral("未检测"));
            QCOMPARE(FontColor(l), clGrayText());
            QCOMPARE(l->font().pixelSize(), 11);
            QVERIFY2(!l->objectName().isEmpty() && m.findChild<QLabel*>(l->objectName()) == l,
                     qPrintable(l->objectName()));
            QVERIFY(m.CaptionOf(l) != nullptr);
            QVERIFY(m.CaptionOf(l)->text().endsWith(QStringLiteral("：")));
            // Captions take the font of the window the panel sits in.
            QCOMPARE(m.CaptionOf(l)->font().pixelSize(), 11);
            QCOMPARE(m.CaptionOf(l)->font().families(), FHost->font().families());
        }
        const std::vector<QLabel*> hidden = {m.lblSwOutFan, m.lblSwPump, m.lblOduCoilTempSen,
                                             m.lblAlWaterLevel, m.lblAlPump};
        for (QLabel* l : m.ValueLabels()) {
            const bool shouldHide = std::find(hidden.begin(), hidden.end(), l) != hidden.end();
            QCOMPARE(l->isHidden(), shouldHide);
            QCOMPARE(m.CaptionOf(l)->isHidden(), shouldHide);
        }
        struct Group {
            QGroupBox* Box;
            const char* Title;
            QRect Geometry;
        };
        for (const Group& g : {Group{m.GroupBox1, "开关量", QRect(14, 3, 651, 78)},
                               Group{m.GroupBox2, "模拟量", QRect(14, 82, 651, 144)},
                               Group{m.GroupBox5, "告警状态", QRect(14, 230, 651, 238)}}) {
            QCOMPARE(g.Box->title(), QString::fromUtf8(g.Title));
            QCOMPARE(g.Box->geometry(), g.Geometry);
        }
        QCOMPARE(m.lblSwOnOff->parentWidget(), m.GroupBox1);
        QCOMPARE(m.lblAnVolA->parentWidget(), m.GroupBox2);
        QCOMPARE(m.lblAlPump->parentWidget(), m.GroupBox5);
    }

    // Every caption/value pair of both panels: the caption's text byte for
    // byte and its place, the value label's name, group, row and place, and
    // whether the pair is shown. A value label stands at its design left
    // unless this desktop's font draws the caption past it; then it follows
    // the caption closely.
    void designLayout() {
        struct Pair {
            const char* Name;
            const char* Group;
            int Top;
            const char* Caption;
            int CaptionLeft;
            int ValueLeft;
            bool Hidden;
        };
        static const Pair pairs[] = {
            {"lblSwOnOff", "GroupBox1", 16, "空调状态：", 12, 72, false},
            {"lblSwRunMode", "GroupBox1", 16, "运行模式：", 140, 196, false},
            {"lblSwIFan", "GroupBox1", 16, "内风机：", 310, 354, false},
            {"lblSwComp", "GroupBox1", 16, "压缩机启停：", 457, 525, false},
            {"lblSwOFan", "GroupBox1", 35, "外风机：", 12, 72, false},
            {"lblSwSwap", "GroupBox1", 35, "摆风状态：", 140, 196, false},
            {"lblSwHeater", "GroupBox1", 35, "电加热：", 310, 354, false},
            {"lblSw4valve", "GroupBox1", 35, "四通阀：", 457, 501, false},
            {"lblSwSelfDefNums", "GroupBox1", 54, "用户自定义状态数量：", 12, 130, false},
            {"lblSwOutFan", "GroupBox1", 54, "排风机：", 310, 378, true},
            {"lblSwPump", "GroupBox1", 54, "水泵状态：", 457, 517, true},
            {"lblAnVolA", "GroupBox2", 24, "主机工作线/相电压AB/A：", 12, 145, false},
            {"lblAnVolB", "GroupBox2", 24, "主机工作线/相电压BC/B：", 220, 354, false},
            {"lblAnVolC", "GroupBox2", 24, "主机工作线/相电压CA/C：", 428, 562, false},
            {"lblAnCurlA", "GroupBox2", 43, "主机工作电流A相：", 12, 145, false},
            {"lblAnCurlB", "GroupBox2", 43, "主机工作电流B相：", 220, 354, false},
            {"lblAnCurlC", "GroupBox2", 43, "主机工作电流C相：", 428, 562, false},
            {"lblAnCompInPress", "GroupBox2", 62, "压缩机吸气压力：", 12, 145, false},
            {"lblAnCompOutPress", "GroupBox2", 62, "压缩机排气压力：", 220, 354, false},
            {"lblAnSelfDefNum", "GroupBox2", 62, "用户自定义遥测数量：", 428, 562, false},
            {"lblAnCompRunHours", "GroupBox2", 81, "压缩机运行时间：", 11, 145, false},
            {"lblAnUnitRunHours", "GroupBox2", 81, "机组运行时间：", 218, 354, false},
            {"lblAnOutFanTemp", "GroupBox2", 100, "送风温度：", 12, 93, false},
            {"lblAnInFanTemp", "GroupBox2", 100, "回风温度：", 160, 218, false},
            {"lblAnOutFanHumi", "GroupBox2", 100, "送风湿度：", 308, 366, false},
            {"lblAnInFanHumi", "GroupBox2", 100, "回风湿度：", 457, 538, false},
            {"lblAnOAT", "GroupBox2", 119, "室外环境温度：", 12, 93, false},
            {"lblAnOutTemp", "GroupBox2", 119, "排气温度：", 160, 218, false},
            {"lblAnOutHumi", "GroupBox2", 119, "室外湿度：", 310, 366, false},
            {"lblAnIduInCoilTemp", "GroupBox2", 119, "室内盘管温度：", 457, 538, false},
            {"lblAlVolA", "GroupBox5", 24, "主机工作线/相电压AB/A：", 12, 154, false},
            {"lblAlVolB", "GroupBox5", 24, "主机工作线/相电压BC/B：", 220, 361, false},
            {"lblAlVolC", "GroupBox5", 24, "主机工作线/相电压CA/C：", 428, 562, false},
            {"lblAlCurA", "GroupBox5", 43, "主机工作电流A相：", 12, 154, false},
            {"lblAlCurB", "GroupBox5", 43, "主机工作电流B相：", 220, 361, false},
            {"lblAlCurC", "GroupBox5", 43, "主机工作电流C相：", 428, 562, false},
            {"lblAlRATSen", "GroupBox5", 62, "室内环境温度传感器：", 12, 154, false},
            {"lblAlInCoilTempSen", "GroupBox5", 62, "内机盘管进口温度传感器：", 220, 361, false},
            {"lblAlSelfDefNum", "GroupBox5", 62, "用户自定义遥测数量：", 428, 562, false},
            {"lblAlMidCoilTempSen", "GroupBox5", 81, "内机盘管中间温度传感器：", 12, 154, false},
            {"lblAlOutCoilTempSen", "GroupBox5", 81, "内机盘管出口温度传感器：", 220, 361, false},
            {"lblAlOATSen", "GroupBox5", 81, "室外环境温度传感器：", 428, 562, false},
            {"lblOduCoilTempSen", "GroupBox5", 100, "外机盘管进口温度传感器：", 12, 154, true},
            {"lblAlDefrostTempSen", "GroupBox5", 100, "外机盘管温度传感器：", 220, 361, false},
            {"lblAlOutTempSen", "GroupBox5", 100, "排气温度传感器：", 428, 562, false},
            {"lblAlIODUCom", "GroupBox5", 119, "内外机通讯故障：", 12, 104, false},
            {"lblAlHighPress", "GroupBox5", 119, "高压压力保护：", 221, 314, false},
            {"lblAlLowPress", "GroupBox5", 119, "低压压力保护：", 428, 520, false},
            {"lblAlIduHumiSen", "GroupBox5", 138, "室内湿度传感器：", 12, 104, false},
            {"lblAlOduHumiSen", "GroupBox5", 138, "室外湿度传感器：", 221, 314, false},
            {"lblAlOtherAlarms", "GroupBox5", 138, "其它不正常告警：", 428, 520, false},
            {"lblAlInTemp", "GroupBox5", 157, "回风温度：", 12, 69, false},
            {"lblAlInHumi", "GroupBox5", 157, "回风湿度：", 140, 197, false},
            {"lblAlFilter", "GroupBox5", 157, "过滤器：", 310, 367, false},
            {"lblAlCompOv", "GroupBox5", 157, "压缩机过载：", 457, 530, false},
            {"lblAlOutTemp", "GroupBox5", 176, "排气保护：", 12, 69, false},
            {"lblAlPhase", "GroupBox5", 176, "相序保护：", 140, 197, false},
            {"lblAlPhaseLose", "GroupBox5", 176, "缺相保护：", 309, 366, false},
            {"lblAlIFanOv", "GroupBox5", 176, "内风机过载：", 457, 530, false},
            {"lblAlOFan", "GroupBox5", 195, "室外风机：", 12, 69, false},
            {"lblAlFire", "GroupBox5", 195, "消防报警：", 140, 197, false},
            {"lblAlSysExcep", "GroupBox5", 195, "系统异常：", 310, 366, false},
            {"lblAlE2P", "GroupBox5", 195, "EEPROM故障：", 457, 530, false},
            {"lblAlWaterInvasion", "GroupBox5", 214, "水浸告警：", 12, 69, false},
            {"lblAlOATLow", "GroupBox5", 214, "外机被盗：", 140, 197, false},
            {"lblAlWaterLevel", "GroupBox5", 214, "水位故障：", 310, 366, true},
            {"lblAlPump", "GroupBox5", 214, "水泵故障：", 457, 530, true},
            {"lblOnTemp", "grpParams", 23, "空调开机温度：", 20, 103, false},
            {"lblOffTemp", "grpParams", 23, "空调关机温度：", 148, 231, false},
            {"lblInTempH", "grpParams", 23, "回风温度上限：", 318, 398, false},
            {"lblIFan", "grpParams", 23, "内风机风速设定：", 465, 572, false},
            {"lblInTempL", "grpParams", 42, "回风温度下限：", 20, 103, false},
            {"lblInHumiH", "grpParams", 42, "回风湿度上限：", 148, 231, false},
            {"lblInHumiL", "grpParams", 42, "回风湿度下限：", 318, 398, false},
            {"lblBackup", "grpParams", 42, "双机备份切换时间：", 465, 572, false},
            {"lblSPT", "grpParams", 61, "温度设定值：", 20, 103, false},
            {"lblSetMode", "grpParams", 61, "运行模式设定：", 148, 231, false},
            {"lblSwap", "grpParams", 61, "摆风功能设定：", 318, 398, false},
            {"lblRunAtOnce", "grpParams", 61, "高温同开温度设定：", 465, 572, false},
            {"lblDisLoc", "grpParams", 80, "屏蔽本地操作：", 20, 103, false},
            {"lblStartTemp", "grpParams", 80, "制热模式温度设定：", 148, 255, false},
            {"lblStopTemp", "grpParams", 80, "制冷温控精度：", 318, 398, false},
            {"lblSefDefParam", "grpParams", 80, "用户自定义数量：", 465, 572, false},
            {"lblUseOAT", "grpParams", 99, "制热温控精度：", 20, 103, false},
        };
        FHost->show();
        std::vector<QLabel*> seen;
        QStringList moved;
        for (const Pair& p : pairs) {
            const bool params = QByteArray(p.Group) == "grpParams";
            QWidget* panel = params ? static_cast<QWidget*>(FParams) : FMonitors[1];
            auto* value = panel->findChild<QLabel*>(QLatin1String(p.Name));
            QVERIFY2(value != nullptr, p.Name);
            QCOMPARE(value->parentWidget()->objectName(), QLatin1String(p.Group));
            QLabel* caption = params ? FParams->CaptionOf(value) : FMonitors[1]->CaptionOf(value);
            QVERIFY2(caption != nullptr, p.Name);
            QCOMPARE(caption->text(), QString::fromUtf8(p.Caption));
            QCOMPARE(caption->pos(), QPoint(p.CaptionLeft, p.Top));
            QCOMPARE(value->y(), p.Top);
            const int captionEnd = caption->x() + caption->width();
            if (captionEnd < p.ValueLeft) {
                QCOMPARE(value->x(), p.ValueLeft);
            } else {
                moved << QLatin1String(p.Name);
                QVERIFY2(value->x() > captionEnd && value->x() <= captionEnd + 4, p.Name);
            }
            QCOMPARE(value->isHidden(), p.Hidden);
            QCOMPARE(caption->isHidden(), p.Hidden);
            seen.push_back(value);
        }
        // The tables above are the whole of both panels.
        std::vector<QLabel*> all = FMonitors[1]->ValueLabels();
        all.insert(all.end(), FParams->ValueLabels().begin(), FParams->ValueLabels().end());
        std::sort(seen.begin(), seen.end());
        std::sort(all.begin(), all.end());
        QCOMPARE(seen.size(), std::size(pairs));
        QVERIFY(std::adjacent_find(seen.begin(), seen.end()) == seen.end());
        QVERIFY(seen == all);
        if (!moved.isEmpty())
            qInfo("following a caption drawn wider than designed: %s",
                  qPrintable(moved.join(u' ')));
    }

    void parameterPanelStartsUnknown() {
        FHost->show();
        TfrmGetUnitParams& p = *FParams;
        QCOMPARE(p.size(), QSize(641, 125));
        QCOMPARE(p.grpParams->title(), QStringLiteral("·"));
        QCOMPARE(p.grpParams->geometry(), QRect(8, 0, 625, 120));
        QCOMPARE(p.ValueLabels().size(), std::size_t{17});
        for (QLabel* l : p.ValueLabels()) {
            QCOMPARE(l->text(), QStringLiteral("未知"));
            QCOMPARE(FontColor(l), clWindowText());
            QVERIFY(p.CaptionOf(l) != nullptr);
            QCOMPARE(l->font().families(), FHost->font().families());
            QCOMPARE(p.CaptionOf(l)->font().families(), FHost->font().families());
        }
    }

    // With the fonts of this desktop, no label of a row runs into the next
    // one, none is clipped by its group, and a value label grown to a long
    // reading ("-32768", "高于上限") still clears the next caption.
    void labelsDoNotOverlap() {
        std::vector<QGroupBox*> boxes = {FMonitors[0]->GroupBox1, FMonitors[0]->GroupBox2,
                                         FMonitors[0]->GroupBox5, FParams->grpParams};
        for (QGroupBox* box : boxes) {
            const auto labels = box->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
            // The widest text each group's values can take.
            const char* longest = box == FMonitors[0]->GroupBox5   ? "高于上限"
                                  : box == FMonitors[0]->GroupBox1 ? "未检测"
                                                                   : "-32768";
            for (QLabel* l : labels) {
                if (!l->objectName().endsWith("Caption")) SetCaption(l, std::string_view(longest));
            }
            for (QLabel* a : labels) {
                if (a->isHidden()) continue;
                QVERIFY2(box->rect().contains(a->geometry()),
                         qPrintable(a->objectName() + " leaves its group"));
                for (QLabel* b : labels) {
                    if (a == b || b->isHidden()) continue;
                    QVERIFY2(!a->geometry().intersects(b->geometry()),
                             qPrintable(a->objectName() + " overlaps " + b->objectName()));
                }
            }
        }
    }

    void decoders_data() {
        QTest::addColumn<int>("index");
        for (std::size_t i = 0; i < ReplyCases().size(); ++i)
            QTest::newRow(ReplyCases()[i].Name) << static_cast<int>(i);
    }
    void decoders() {
        QFETCH(int, index);
        TPanelsUnderTest under{FMonitors, FParams, FIdentity, {}};
        under.Deliver = [this](const TReplyCase& c) {
            // An exact-size heap copy: a read past the INFO is caught by the sanitizer.
            const auto info = std::make_unique<std::uint8_t[]>(c.Info.size());
            std::copy(c.Info.begin(), c.Info.end(), info.get());
            const std::span<const std::uint8_t> span(info.get(), c.Info.size());
            switch (c.CID2) {
                case 0x42:
                    DecodeAnalogInfo(FMonitors, span);
                    break;
                case 0x43:
                    DecodeSwitchInfo(FMonitors, span);
                    break;
                case 0x44:
                    DecodeAlarmInfo(FMonitors, span);
                    break;
                case 0x47:
                    DecodeUserParamsInfo(*FParams, span);
                    break;
                case 0x4F:
                    ShowProtocolVersion(FIdentity[0], c.Ver);
                    break;
                case 0x50:
                    ShowDeviceAddress(FIdentity[1], c.Addr);
                    break;
                case 0x51:
                    DecodeVendorInfo(FIdentity[2], FIdentity[3], FIdentity[4], span);
                    break;
                default:
                    break;
            }
        };
        CheckReplyCase(under, ReplyCases()[static_cast<std::size_t>(index)]);
    }

    void parameterCodes() {
        // Index -> code and where the value comes from.
        const std::pair<int, int> codes[] = {{0, 0x80}, {3, 0x83},  {6, 0x86},  {7, 0xC0},
                                             {8, 0xC1}, {10, 0xC3}, {11, 0xC4}, {15, 0xC8}};
        for (auto [index, code] : codes)
            QCOMPARE(int{aircon::ParamFieldCode(static_cast<std::size_t>(index))}, code);
        QCOMPARE(ParamSource(7), TParamSource::RunMode);
        QCOMPARE(ParamSource(8), TParamSource::IndoorFan);
        QCOMPARE(ParamSource(9), TParamSource::Swing);
        QCOMPARE(ParamSource(10), TParamSource::LocalLock);
        for (int i : {0, 6, 11, 15})
            QCOMPARE(ParamSource(i), TParamSource::Edit);
        QCOMPARE(ParamListText(0), QStringLiteral("空调开机温度"));
        QCOMPARE(ParamListText(15), QStringLiteral("制热温控精度"));
        QCOMPARE(ParamListText(16), QString());
    }

    void parameterValues_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value");  // -1: refused
        QTest::addColumn<QString>("error");
        const QString notInt = QStringLiteral("'%1' is not a valid integer value");
        const QString range =
            QStringLiteral("'%1' is not a valid parameter value: it must lie between 0 and 65535");
        QTest::newRow("32") << "32" << 32 << QString();
        QTest::newRow("0") << "0" << 0 << QString();
        QTest::newRow("65535") << "65535" << 65535 << QString();
        QTest::newRow("leading zeros") << "007" << 7 << QString();
        QTest::newRow("empty") << "" << -1 << notInt.arg("");
        QTest::newRow("letters") << "1a" << -1 << notInt.arg("1a");
        QTest::newRow("beyond 32 bits") << "99999999999" << -1 << notInt.arg("99999999999");
        QTest::newRow("65536") << "65536" << -1 << range.arg("65536");
        QTest::newRow("70000 is not wrapped") << "70000" << -1 << range.arg("70000");
        QTest::newRow("negative") << "-1" << -1 << range.arg("-1");
    }
    void parameterValues() {
        QFETCH(QString, text);
        QFETCH(int, value);
        QFETCH(QString, error);
        const TParamValue v = ParseParamValue(text);
        QCOMPARE(v.Value.has_value(), value >= 0);
        if (value >= 0) QCOMPARE(int{*v.Value}, value);
        QCOMPARE(v.Error, error);
    }
};

QTEST_MAIN(PanelsBareTest)
#include "panels_bare_test.moc"
