#include "ReplyCases.h"

#include <QLabel>
#include <QTest>

#include "GetUnitParams.h"
#include "MonitorUnit.h"
#include "Render.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Repeat(std::uint8_t b, std::size_t n) {
    return Bytes(n, b);
}

Bytes DropLast(Bytes b) {
    b.pop_back();
    return b;
}

Bytes Latin1(const char* s) {
    Bytes out;
    for (; *s != '\0'; ++s)
        out.push_back(static_cast<std::uint8_t>(*s));
    return out;
}

constexpr auto M0 = TTarget::Mon0;
constexpr auto M1 = TTarget::Mon1;
constexpr auto P = TTarget::Params;
constexpr auto I = TTarget::Identity;
constexpr auto Win = TColour::WindowText;
constexpr auto Grey = TColour::Gray;
constexpr auto Keep = TColour::Keep;

const QString NotDetected = QStringLiteral("未检测");

// 0x42, first 26 bytes: DATAFLAG, twelve readings, count.
Bytes AnalogHead(std::uint8_t DataFlag) {
    return Bytes{DataFlag, 0x00, 0xDC,  // VolA 220
                 0x20,     0x20,        // VolB sentinel
                 0x20,     0x21,        // VolC 8225, not the sentinel
                 0x01,     0x2C,        // CurA 300
                 0xFF,     0xFF,        // CurB 65535 unsigned
                 0x80,     0x00,        // CurC 32768 unsigned
                 0xFF,     0xF6,        // supply-air temperature -10 signed
                 0x80,     0x00,        // return-air temperature -32768 signed
                 0x00,     0x00,        // supply-air humidity 0
                 0x00,     0x37,        // return-air humidity 55
                 0x20,     0x20,        // suction pressure sentinel
                 0x7F,     0xFF,        // discharge pressure 32767
                 0x20};                 // count 32: counts have no sentinel
}

std::vector<TExpect> AnalogHeadExpect(TTarget t) {
    return {{t, "lblAnVolA", "220", Win},
            {t, "lblAnVolB", NotDetected, Grey},
            {t, "lblAnVolC", "8225", Win},
            {t, "lblAnCurlA", "300", Win},
            {t, "lblAnCurlB", "65535", Win},
            {t, "lblAnCurlC", "32768", Win},
            {t, "lblAnOutFanTemp", "-10", Win},
            {t, "lblAnInFanTemp", "-32768", Win},
            {t, "lblAnOutFanHumi", "0", Win},
            {t, "lblAnInFanHumi", "55", Win},
            {t, "lblAnCompInPress", NotDetected, Grey},
            {t, "lblAnCompOutPress", "32767", Win},
            {t, "lblAnSelfDefNum", "32", Win}};
}

const Bytes AnalogTrail = {0xFF, 0xFF,   // outdoor ambient -1
                           0x00, 0x50,   // discharge temperature 80
                           0x20, 0x20,   // outdoor humidity sentinel
                           0xFF, 0x38,   // indoor coil -200
                           0xFF, 0xFF,   // compressor hours 65535 unsigned
                           0x12, 0x34};  // unit hours 4660

std::vector<TExpect> operator+(std::vector<TExpect> a, const std::vector<TExpect>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<TExpect> AnalogTrailExpect(TTarget t, int words) {
    const std::vector<TExpect> all = {{t, "lblAnOAT", "-1", Win},
                                      {t, "lblAnOutTemp", "80", Win},
                                      {t, "lblAnOutHumi", NotDetected, Grey},
                                      {t, "lblAnIduInCoilTemp", "-200", Win},
                                      {t, "lblAnCompRunHours", "65535", Win},
                                      {t, "lblAnUnitRunHours", "4660", Win}};
    return {all.begin(), all.begin() + words};
}

// 0x44 fixed part: eleven alarms and the count.
Bytes AlarmHead(std::uint8_t DataFlag) {
    return {DataFlag, 0x00, 0x01, 0x02, 0x20, 0xF0, 0x03, 0x21, 0xFF, 0x00, 0xF0, 0x01, 0x20};
}

std::vector<TExpect> AlarmHeadExpect(TTarget t) {
    return {{t, "lblAlVolA", "正常", TColour::Black},
            {t, "lblAlVolB", "低于下限", TColour::Lime},
            {t, "lblAlVolC", "高于上限", TColour::Fuchsia},
            {t, "lblAlCurA", NotDetected, Grey},
            {t, "lblAlCurB", "故障", TColour::Red},
            {t, "lblAlCurC", "", Keep},  // outside the table: empty, colour as it was
            {t, "lblAlInTemp", "", Keep},
            {t, "lblAlInHumi", "", Keep},
            {t, "lblAlFilter", "正常", TColour::Black},
            {t, "lblAlCompOv", "故障", TColour::Red},
            {t, "lblAlIFanOv", "低于下限", TColour::Lime},
            {t, "lblAlSelfDefNum", "32", Win}};
}

// 0x44 items 0 to 24 in offset order, with the code each gets.
struct AlarmItem {
    const char* Label;
    std::uint8_t Code;
};
const AlarmItem AlarmItems[] = {
    {"lblAlHighPress", 0xF0},      {"lblAlLowPress", 0x00},
    {"lblAlOutTemp", 0x01},        {"lblAlIODUCom", 0x02},
    {"lblAlRATSen", 0x20},         {"lblAlInCoilTempSen", 0x00},
    {"lblAlMidCoilTempSen", 0xF0}, {"lblAlOutCoilTempSen", 0x01},
    {"lblAlOATSen", 0x02},         {"lblOduCoilTempSen", 0xF0},
    {"lblAlDefrostTempSen", 0x20}, {"lblAlOutTempSen", 0x00},
    {"lblAlPhase", 0x01},          {"lblAlPhaseLose", 0x02},
    {"lblAlOFan", 0xF0},           {"lblAlE2P", 0x20},
    {"lblAlFire", 0x00},           {"lblAlIduHumiSen", 0x01},
    {"lblAlOduHumiSen", 0x02},     {"lblAlSysExcep", 0xF0},
    {"lblAlWaterInvasion", 0x20},  {"lblAlOtherAlarms", 0x00},
    {"lblAlOATLow", 0x01},         {"lblAlWaterLevel", 0x02},
    {"lblAlPump", 0xF0},
};

TExpect AlarmExpect(TTarget t, const AlarmItem& item) {
    switch (item.Code) {
        case 0x00:
            return {t, item.Label, "正常", TColour::Black};
        case 0x01:
            return {t, item.Label, "低于下限", TColour::Lime};
        case 0x02:
            return {t, item.Label, "高于上限", TColour::Fuchsia};
        case 0x20:
            return {t, item.Label, NotDetected, Grey};
        default:
            return {t, item.Label, "故障", TColour::Red};
    }
}

Bytes AlarmItemBytes(std::size_t n) {
    Bytes out;
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(AlarmItems[i].Code);
    return out;
}

std::vector<TExpect> AlarmItemsExpect(TTarget t, std::size_t n) {
    std::vector<TExpect> out;
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(AlarmExpect(t, AlarmItems[i]));
    return out;
}

// 0x47 first 15 bytes: seven readings and the count.
const Bytes ParamsHead = {0x20, 0x20,  // on temperature: sentinel
                          0x00, 0x1C,  // off 28
                          0x00, 0x23,  // return-air upper 35
                          0xFF, 0xF6,  // return-air lower -10 (signed)
                          0x00, 0x50,  // humidity upper 80
                          0x00, 0x14,  // humidity lower 20
                          0x80, 0x00,  // set point 32768 (unsigned)
                          0x20};       // count 32, colour untouched

const std::vector<TExpect> ParamsHeadExpect = {
    {P, "lblOnTemp", NotDetected, Grey}, {P, "lblOffTemp", "28", Win},
    {P, "lblInTempH", "35", Win},        {P, "lblInTempL", "-10", Win},
    {P, "lblInHumiH", "80", Win},        {P, "lblInHumiL", "20", Win},
    {P, "lblSPT", "32768", Win},         {P, "lblSefDefParam", "32", Keep}};

QString WithNul(const char* head, int total) {
    QString s = QString::fromLatin1(head);
    while (s.size() < total)
        s.append(QChar(0));
    return s;
}

std::vector<TReplyCase> MakeCases() {
    std::vector<TReplyCase> cases;
    const Bytes analog38 = AnalogHead(0x02) + AnalogTrail;

    // --- 0x42 analog values ---
    cases.push_back(
        {"analog 25 bytes: below the minimum", 0x42, 0x10, 1, DropLast(AnalogHead(0x00)), {}});
    cases.push_back({"analog 26 bytes, unit 0: readings and count only", 0x42, 0x10, 1,
                     AnalogHead(0x01), AnalogHeadExpect(M0)});
    cases.push_back({"analog 38 bytes, unit 1: all eighteen readings", 0x42, 0x10, 1, analog38,
                     AnalogHeadExpect(M1) + AnalogTrailExpect(M1, 6)});
    cases.push_back({"analog 40 bytes and a lone byte: seventh word and lone byte ignored", 0x42,
                     0x10, 1, analog38 + Bytes{0x00, 0x07, 0x09},
                     AnalogHeadExpect(M1) + AnalogTrailExpect(M1, 6)});
    cases.push_back({"analog count 6 but two trailing words", 0x42, 0x10, 1,
                     [] {
                         Bytes b = AnalogHead(0x00);
                         b[25] = 6;
                         return b + Bytes(AnalogTrail.begin(), AnalogTrail.begin() + 4);
                     }(),
                     [] {
                         auto e = AnalogHeadExpect(M0) + AnalogTrailExpect(M0, 2);
                         for (auto& x : e)
                             if (QByteArray(x.Label) == "lblAnSelfDefNum") x.Text = "6";
                         return e;
                     }()});
    cases.push_back({"analog 27 bytes: the lone byte is no reading", 0x42, 0x10, 1,
                     AnalogHead(0x00) + Bytes{0x00}, AnalogHeadExpect(M0)});
    cases.push_back({"analog DATAFLAG 0x12 selects unit 1", 0x42, 0x10, 1, AnalogHead(0x12),
                     AnalogHeadExpect(M1)});
    cases.push_back({"analog DATAFLAG 0xF1: high bits and bit 0 ignored, unit 0", 0x42, 0x10, 1,
                     AnalogHead(0xF1), AnalogHeadExpect(M0)});
    cases.push_back({"analog DATAFLAG 0x04: unit 2 ignored",
                     0x42,
                     0x10,
                     1,
                     AnalogHead(0x04) + AnalogTrail,
                     {}});
    cases.push_back({"analog DATAFLAG 0x0E: unit 7 ignored",
                     0x42,
                     0x10,
                     1,
                     AnalogHead(0x0E) + AnalogTrail,
                     {}});

    // --- 0x43 switch states ---
    cases.push_back({"switch 2 bytes: below the minimum", 0x43, 0x10, 1, {0x00, 0x00}, {}});
    cases.push_back({"switch 3 bytes: power state and count only",
                     0x43,
                     0x10,
                     1,
                     {0x00, 0x20, 0x05},
                     {{M0, "lblSwOnOff", "未注册", Win}, {M0, "lblSwSelfDefNums", "5", Win}}});
    cases.push_back(
        {"switch all nine items, unit 1, extra item ignored",
         0x43,
         0x10,
         1,
         {0x02, 0x00, 0x09, 0x20, 0x00, 0x00, 0x01, 0x03, 0x20, 0x01, 0x00, 0x20, 0x01, 0x02},
         {{M1, "lblSwOnOff", "开机", Win},
          {M1, "lblSwSelfDefNums", "9", Win},
          {M1, "lblSwRunMode", NotDetected, Grey},
          {M1, "lblSwIFan", "停", Win},
          {M1, "lblSw4valve", "停止", Win},
          {M1, "lblSwComp", "运转", Win},
          {M1, "lblSwOFan", "高风", Win},
          {M1, "lblSwSwap", NotDetected, Grey},
          {M1, "lblSwHeater", "开启", Win},
          {M1, "lblSwOutFan", "关闭", Win},
          {M1, "lblSwPump", NotDetected, Grey}}});
    cases.push_back({"switch codes outside the tables give the empty text",
                     0x43,
                     0x10,
                     1,
                     {0x00, 0x05, 0x00, 0x05, 0x07, 0x02, 0x20, 0x04, 0x03, 0x02},
                     {{M0, "lblSwOnOff", "关机", Win},
                      {M0, "lblSwSelfDefNums", "0", Win},
                      {M0, "lblSwRunMode", "", Win},
                      {M0, "lblSwIFan", "", Win},
                      {M0, "lblSw4valve", "", Win},
                      {M0, "lblSwComp", NotDetected, Grey},
                      {M0, "lblSwOFan", "", Win},
                      {M0, "lblSwSwap", "", Win},
                      {M0, "lblSwHeater", "", Win}}});
    cases.push_back({"switch state words, monitor column",
                     0x43,
                     0x10,
                     1,
                     {0x01, 0x01, 0xFF, 0x04, 0x02, 0x01, 0x00, 0x01, 0x00, 0x20},
                     {{M0, "lblSwOnOff", "关机", Win},
                      {M0, "lblSwSelfDefNums", "255", Win},
                      {M0, "lblSwRunMode", "制热", Win},
                      {M0, "lblSwIFan", "中风", Win},
                      {M0, "lblSw4valve", "运转", Win},
                      {M0, "lblSwComp", "停止", Win},
                      {M0, "lblSwOFan", "低风", Win},
                      {M0, "lblSwSwap", "停止", Win},
                      {M0, "lblSwHeater", NotDetected, Grey}}});
    cases.push_back(
        {"switch DATAFLAG 0x04: unit 2 ignored", 0x43, 0x10, 1, {0x04, 0x00, 0x01, 0x01}, {}});

    // --- 0x44 alarm states ---
    cases.push_back(
        {"alarm 12 bytes: below the minimum", 0x44, 0x10, 1, DropLast(AlarmHead(0)), {}});
    cases.push_back({"alarm 13 bytes: eleven fixed alarms and count", 0x44, 0x10, 1, AlarmHead(0),
                     AlarmHeadExpect(M0)});
    cases.push_back({"alarm all 25 items, unit 1, extra items ignored", 0x44, 0x10, 1,
                     AlarmHead(0x03) + AlarmItemBytes(25) + Bytes{0xF0, 0x01},
                     AlarmHeadExpect(M1) + AlarmItemsExpect(M1, 25)});
    cases.push_back({"alarm with four items", 0x44, 0x10, 1, AlarmHead(0x01) + AlarmItemBytes(4),
                     AlarmHeadExpect(M0) + AlarmItemsExpect(M0, 4)});
    cases.push_back({"alarm DATAFLAG 0x06: unit 3 ignored",
                     0x44,
                     0x10,
                     1,
                     AlarmHead(0x06) + AlarmItemBytes(25),
                     {}});

    // --- 0x47 user parameters ---
    cases.push_back(
        {"params 14 bytes: below the minimum", 0x47, 0x10, 1, DropLast(ParamsHead), {}});
    cases.push_back({"params 15 bytes: seven readings and count only", 0x47, 0x10, 1, ParamsHead,
                     ParamsHeadExpect});
    cases.push_back({"params 33 bytes: all seventeen labels", 0x47, 0x10, 1,
                     ParamsHead + Bytes{0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x20, 0x20,
                                        0x00, 0x1E, 0x00, 0x14, 0x00, 0x02, 0x00, 0x05},
                     ParamsHeadExpect + std::vector<TExpect>{{P, "lblSetMode", "制冷", Keep},
                                                             {P, "lblIFan", "停止", Keep},
                                                             {P, "lblSwap", "运转", Keep},
                                                             {P, "lblDisLoc", "屏蔽", Keep},
                                                             {P, "lblBackup", "8224", Keep},
                                                             {P, "lblRunAtOnce", "30", Keep},
                                                             {P, "lblStartTemp", "20", Keep},
                                                             {P, "lblStopTemp", "2", Keep},
                                                             {P, "lblUseOAT", "5", Keep}}});
    cases.push_back({"params words outside the tables; tenth item ignored", 0x47, 0x10, 1,
                     ParamsHead + Bytes{0x01, 0x01, 0x00, 0x07, 0x00, 0x02, 0x00, 0x20, 0xFF, 0xFF,
                                        0x00, 0x00, 0x00, 0x06, 0x00, 0x03, 0x00, 0x04, 0x12, 0x34},
                     ParamsHeadExpect + std::vector<TExpect>{{P, "lblSetMode", "", Keep},
                                                             {P, "lblIFan", NotDetected, Keep},
                                                             {P, "lblSwap", NotDetected, Keep},
                                                             {P, "lblDisLoc", NotDetected, Keep},
                                                             {P, "lblBackup", "65535", Keep},
                                                             {P, "lblRunAtOnce", "0", Keep},
                                                             {P, "lblStartTemp", "6", Keep},
                                                             {P, "lblStopTemp", "3", Keep},
                                                             {P, "lblUseOAT", "4", Keep}}});
    cases.push_back({"params parameter words; a lone last byte is ignored", 0x47, 0x10, 1,
                     ParamsHead + Bytes{0x00, 0x06, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00},
                     ParamsHeadExpect + std::vector<TExpect>{{P, "lblSetMode", "空调", Keep},
                                                             {P, "lblIFan", "高风", Keep},
                                                             {P, "lblSwap", "停止", Keep},
                                                             {P, "lblDisLoc", "允许", Keep}}});
    cases.push_back({"params run mode 5 and fan 0x0007", 0x47, 0x10, 1,
                     ParamsHead + Bytes{0x00, 0x05, 0x00, 0x07},
                     ParamsHeadExpect + std::vector<TExpect>{{P, "lblSetMode", "新风", Keep},
                                                             {P, "lblIFan", NotDetected, Keep}}});

    // --- 0x4F, 0x50 identity from the header ---
    cases.push_back(
        {"version VER 0x21 without INFO", 0x4F, 0x21, 1, {}, {{I, "lblGetDevVer", "2.1", Keep}}});
    cases.push_back({"version VER 0x0A, INFO ignored",
                     0x4F,
                     0x0A,
                     1,
                     {0x01, 0x02, 0x03},
                     {{I, "lblGetDevVer", "0.10", Keep}}});
    cases.push_back({"version VER 0xAB", 0x4F, 0xAB, 1, {}, {{I, "lblGetDevVer", "10.11", Keep}}});
    cases.push_back(
        {"address ADR 0x0C", 0x50, 0x10, 0x0C, {0x55}, {{I, "lblGetDevAddr", "12", Keep}}});
    cases.push_back(
        {"address ADR 0xFF", 0x50, 0x10, 0xFF, {}, {{I, "lblGetDevAddr", "255", Keep}}});

    // --- 0x51 vendor information ---
    const Bytes devName = Latin1("ABC") + Repeat(' ', 27);
    const Bytes softVer = Latin1("V1.0") + Repeat(0x00, 16);
    const Bytes facName = Bytes{0xB0} + Latin1("ACME") + Repeat(' ', 15);
    const QString devNameText = QStringLiteral("ABC") + QString(27, u' ');
    const QString facNameText = QString(QChar(0xB0)) + QStringLiteral("ACME") + QString(15, u' ');
    cases.push_back({"vendor 70 bytes and more: Latin-1, nothing trimmed",
                     0x51,
                     0x10,
                     1,
                     devName + softVer + facName + Latin1("XYZ"),
                     {{I, "lblGetDevName", devNameText, Keep},
                      {I, "lblGetFacSoftVer", WithNul("V1.0", 20), Keep},
                      {I, "lblGetFacName", facNameText, Keep}}});
    cases.push_back(
        {"vendor 40 bytes: name whole, version part, vendor kept",
         0x51,
         0x10,
         1,
         devName + Latin1("V2.5-beta!"),
         {{I, "lblGetDevName", devNameText, Keep}, {I, "lblGetFacSoftVer", "V2.5-beta!", Keep}}});
    cases.push_back({"vendor 51 bytes: one byte of the vendor name",
                     0x51,
                     0x10,
                     1,
                     devName + softVer + Latin1("Q"),
                     {{I, "lblGetDevName", devNameText, Keep},
                      {I, "lblGetFacSoftVer", WithNul("V1.0", 20), Keep},
                      {I, "lblGetFacName", "Q", Keep}}});
    cases.push_back(
        {"vendor 3 bytes", 0x51, 0x10, 1, Latin1("abc"), {{I, "lblGetDevName", "abc", Keep}}});
    cases.push_back({"vendor without INFO changes nothing", 0x51, 0x10, 1, {}, {}});

    // --- replies without a decoder ---
    cases.push_back({"set-parameter reply reaches no decoder", 0x49, 0x10, 1, AnalogHead(0), {}});
    cases.push_back({"remote-control reply reaches no decoder", 0x45, 0x10, 1, AlarmHead(0), {}});
    return cases;
}

QLabel* FindExpected(const TPanelsUnderTest& u, TTarget t, const char* name) {
    const QString n = QString::fromLatin1(name);
    switch (t) {
        case TTarget::Mon0:
            return u.Monitors[0]->findChild<QLabel*>(n);
        case TTarget::Mon1:
            return u.Monitors[1]->findChild<QLabel*>(n);
        case TTarget::Params:
            return u.Params->findChild<QLabel*>(n);
        case TTarget::Identity:
            for (QLabel* l : u.Identity)
                if (l->objectName() == n) return l;
    }
    return nullptr;
}

}  // namespace

const std::vector<TReplyCase>& ReplyCases() {
    static const std::vector<TReplyCase> cases = MakeCases();
    return cases;
}

QColor ExpectedColour(TColour Kind) {
    switch (Kind) {
        case TColour::Keep:
            return MarkerColour;
        case TColour::WindowText:
            return clWindowText();
        case TColour::Gray:
            return clGrayText();
        case TColour::Black:
            return QColor(0, 0, 0);
        case TColour::Lime:
            return QColor(0, 255, 0);
        case TColour::Fuchsia:
            return QColor(255, 0, 255);
        case TColour::Red:
            return QColor(255, 0, 0);
    }
    return {};
}

void CheckReplyCase(TPanelsUnderTest& Under, const TReplyCase& Case) {
    std::vector<QLabel*> all;
    for (TfrmMonitorUnit* m : Under.Monitors)
        all.insert(all.end(), m->ValueLabels().begin(), m->ValueLabels().end());
    all.insert(all.end(), Under.Params->ValueLabels().begin(), Under.Params->ValueLabels().end());
    all.insert(all.end(), Under.Identity.begin(), Under.Identity.end());

    const QString marker = QStringLiteral("<mark>");
    for (QLabel* l : all) {
        SetCaption(l, marker);
        SetFontColor(l, MarkerColour);
    }

    Under.Deliver(Case);

    std::vector<const QLabel*> expected;
    for (const TExpect& e : Case.Expect) {
        QLabel* l = FindExpected(Under, e.Target, e.Label);
        QVERIFY2(l != nullptr, e.Label);
        expected.push_back(l);
        QVERIFY2(l->text() == e.Text,
                 qPrintable(QStringLiteral("%1: '%2' instead of '%3'")
                                .arg(QLatin1String(e.Label), l->text(), e.Text)));
        QVERIFY2(FontColor(l) == ExpectedColour(e.Colour),
                 qPrintable(QStringLiteral("%1: colour %2 instead of %3")
                                .arg(QLatin1String(e.Label), FontColor(l).name(),
                                     ExpectedColour(e.Colour).name())));
    }
    for (QLabel* l : all) {
        if (std::find(expected.begin(), expected.end(), l) != expected.end()) continue;
        QVERIFY2(l->text() == marker && FontColor(l) == MarkerColour,
                 qPrintable(QStringLiteral("%1 (in %2) changed to '%3'")
                                .arg(l->objectName(), l->window()->objectName(), l->text())));
    }
    // The hidden fields receive values and stay hidden.
    for (TfrmMonitorUnit* m : Under.Monitors) {
        for (QLabel* h : {m->lblSwOutFan, m->lblSwPump, m->lblOduCoilTempSen, m->lblAlWaterLevel,
                          m->lblAlPump}) {
            QVERIFY2(h->isHidden() && m->CaptionOf(h)->isHidden(), qPrintable(h->objectName()));
        }
    }
}
