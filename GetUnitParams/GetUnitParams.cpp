#include "GetUnitParams.h"

#include "DesignGroupBox.h"
#include "PanelKit.h"

#include <QGroupBox>
#include <QLabel>

#include <iterator>

namespace {

using LabelMember = QLabel* TfrmGetUnitParams::*;

struct FieldLayout {
    int Top;
    const char* Caption;
    int CaptionLeft;
    LabelMember Value;
    const char* Name;
    int ValueLeft;
};

#define FIELD(top, caption, capLeft, name, valueLeft)                     \
    FieldLayout {                                                         \
        top, caption, capLeft, &TfrmGetUnitParams::name, #name, valueLeft \
    }

const FieldLayout Fields[] = {
    FIELD(23, "空调开机温度：", 20, lblOnTemp, 103),
    FIELD(23, "空调关机温度：", 148, lblOffTemp, 231),
    FIELD(23, "回风温度上限：", 318, lblInTempH, 398),
    FIELD(23, "内风机风速设定：", 465, lblIFan, 572),
    FIELD(42, "回风温度下限：", 20, lblInTempL, 103),
    FIELD(42, "回风湿度上限：", 148, lblInHumiH, 231),
    FIELD(42, "回风湿度下限：", 318, lblInHumiL, 398),
    FIELD(42, "双机备份切换时间：", 465, lblBackup, 572),
    FIELD(61, "温度设定值：", 20, lblSPT, 103),
    FIELD(61, "运行模式设定：", 148, lblSetMode, 231),
    FIELD(61, "摆风功能设定：", 318, lblSwap, 398),
    FIELD(61, "高温同开温度设定：", 465, lblRunAtOnce, 572),
    FIELD(80, "屏蔽本地操作：", 20, lblDisLoc, 103),
    FIELD(80, "制热模式温度设定：", 148, lblStartTemp, 255),
    FIELD(80, "制冷温控精度：", 318, lblStopTemp, 398),
    FIELD(80, "用户自定义数量：", 465, lblSefDefParam, 572),
    FIELD(99, "制热温控精度：", 20, lblUseOAT, 103),
};

#undef FIELD

}  // namespace

TfrmGetUnitParams::TfrmGetUnitParams(QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("frmGetUnitParams"));
    resize(DesignWidth, DesignHeight);
    // The owner gives the group its caption when it places the panel.
    grpParams = new TDesignGroupBox(QStringLiteral("·"), this);
    grpParams->setObjectName(QStringLiteral("grpParams"));
    grpParams->setGeometry(8, 0, 625, 120);

    FValueLabels.reserve(std::size(Fields));
    for (const FieldLayout& f : Fields) {
        const QString name = QString::fromUtf8(f.Name);
        QLabel* value =
            AddCaptionedValue(grpParams, name, QString::fromUtf8(f.Caption), f.CaptionLeft,
                              QStringLiteral("未知"), f.ValueLeft, f.Top);
        this->*f.Value = value;
        FValueLabels.push_back(value);
    }
}

QLabel* TfrmGetUnitParams::CaptionOf(const QLabel* value) const {
    return ::CaptionOf(value);
}
