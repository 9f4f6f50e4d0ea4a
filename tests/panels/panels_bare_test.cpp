// The rendering rules, the panels' layout, the reply decoders and the
// parameter editor's rules, on bare panels.

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QTest>

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
            QCOMPARE(int{ParamCode(index)}, code);
        QCOMPARE(ParamSource(7), TParamSource::RunMode);
        QCOMPARE(ParamSource(8), TParamSource::IndoorFan);
        QCOMPARE(ParamSource(9), TParamSource::Swing);
        QCOMPARE(ParamSource(10), TParamSource::LocalLock);
        for (int i : {0, 6, 11, 15})
            QCOMPARE(ParamSource(i), TParamSource::Edit);
        QCOMPARE(QString::fromUtf8(ParamListTexts[0]), QStringLiteral("空调开机温度"));
        QCOMPARE(QString::fromUtf8(ParamListTexts[15]), QStringLiteral("制热温控精度"));
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
