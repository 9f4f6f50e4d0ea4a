// The words the trend window and the report put on the history: series names and alarm
// changes, with the captions and state words of the core's field tables.
#include <QtTest>

#include "TrendWords.h"

using aircon::SeriesKeyAt;
using aircon::TAlarmChange;

class TrendWordsTest : public QObject {
    Q_OBJECT

  private slots:
    void seriesNames() {
        QCOMPARE(SeriesName(SeriesKeyAt(6)), QString("空调1 送风温度"));
        QCOMPARE(SeriesName(SeriesKeyAt(aircon::SeriesPerUnit + 18)), QString("空调2 空调状态"));
        QCOMPARE(SeriesName(SeriesKeyAt(aircon::SeriesPerUnit + 22)), QString("空调2 压缩机启停"));
    }

    void alarmChanges_data() {
        QTest::addColumn<int>("unit");
        QTest::addColumn<int>("field");
        QTest::addColumn<bool>("fromKnown");
        QTest::addColumn<int>("from");  // -1: not detected
        QTest::addColumn<int>("to");
        QTest::addColumn<QString>("text");
        QTest::newRow("raised") << 0 << 9 << true << 0 << 0xF0 << "空调1 压缩机过载：正常 → 故障";
        QTest::newRow("back") << 0 << 9 << true << 0xF0 << 0 << "空调1 压缩机过载：故障 → 正常";
        QTest::newRow("detected again")
            << 0 << 2 << true << -1 << 0 << "空调1 主机工作线/相电压CA/C：未检测 → 正常";
        QTest::newRow("first seen raised")
            << 1 << 2 << false << 0 << 2 << "空调2 主机工作线/相电压CA/C：高于上限";
        QTest::newRow("code without a word")
            << 1 << 2 << true << 2 << 7 << "空调2 主机工作线/相电压CA/C：高于上限 → 代码 7";
    }
    void alarmChanges() {
        QFETCH(int, unit);
        QFETCH(int, field);
        QFETCH(bool, fromKnown);
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(QString, text);
        auto code = [](int C) {
            return C < 0 ? aircon::TStateCode{} : aircon::TStateCode(static_cast<std::uint8_t>(C));
        };
        TAlarmChange c;
        c.Unit = unit;
        c.Field = field;
        c.FromKnown = fromKnown;
        c.From = code(from);
        c.To = code(to);
        QCOMPARE(AlarmChangeText(c), text);
    }
};

QTEST_MAIN(TrendWordsTest)
#include "trend_words_test.moc"
