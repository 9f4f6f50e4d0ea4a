#include "GetUnitParams.h"

#include "DesignGroupBox.h"
#include "Model.h"
#include "PanelKit.h"

#include <QGroupBox>
#include <QLabel>

#include <iterator>
#include <stdexcept>
#include <string>

namespace {

using LabelMember = QLabel* TfrmGetUnitParams::*;

// One caption/value pair: its row, the field it shows (by its key in the core's parameter
// fields, which give its caption), and the value label.
struct FieldLayout {
    int Top;
    const char* Key;
    int CaptionLeft;
    LabelMember Value;
    const char* Name;
    int ValueLeft;
};

#define FIELD(top, key, capLeft, name, valueLeft)                     \
    FieldLayout {                                                     \
        top, key, capLeft, &TfrmGetUnitParams::name, #name, valueLeft \
    }

const FieldLayout Fields[] = {
    FIELD(23, "on_temp", 20, lblOnTemp, 103),
    FIELD(23, "off_temp", 148, lblOffTemp, 231),
    FIELD(23, "return_air_temp_high", 318, lblInTempH, 398),
    FIELD(23, "indoor_fan_speed", 465, lblIFan, 572),
    FIELD(42, "return_air_temp_low", 20, lblInTempL, 103),
    FIELD(42, "return_air_humidity_high", 148, lblInHumiH, 231),
    FIELD(42, "return_air_humidity_low", 318, lblInHumiL, 398),
    FIELD(42, "backup_switch_time", 465, lblBackup, 572),
    FIELD(61, "temp_set_point", 20, lblSPT, 103),
    FIELD(61, "run_mode", 148, lblSetMode, 231),
    FIELD(61, "swing", 318, lblSwap, 398),
    FIELD(61, "joint_start_temp", 465, lblRunAtOnce, 572),
    FIELD(80, "local_lock", 20, lblDisLoc, 103),
    FIELD(80, "heating_mode_temp", 148, lblStartTemp, 255),
    FIELD(80, "cooling_precision", 318, lblStopTemp, 398),
    FIELD(80, "user_defined_count", 465, lblSefDefParam, 572),
    FIELD(99, "heating_precision", 20, lblUseOAT, 103),
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
        const aircon::TFieldInfo* field = aircon::FindField(aircon::TFieldGroup::UserParams, f.Key);
        if (!field) throw std::logic_error(std::string("no field ") + f.Key + " for " + f.Name);
        const QString name = QString::fromUtf8(f.Name);
        const QString caption = QString::fromUtf8(field->Caption.data(),
                                                  static_cast<qsizetype>(field->Caption.size())) +
                                QStringLiteral("：");
        QLabel* value = AddCaptionedValue(grpParams, name, caption, f.CaptionLeft,
                                          QStringLiteral("未知"), f.ValueLeft, f.Top);
        this->*f.Value = value;
        FValueLabels.push_back(value);
        FByField.emplace(field, value);
    }
}

QLabel* TfrmGetUnitParams::ValueLabel(const aircon::TFieldInfo& Field) const {
    const auto it = FByField.find(&Field);
    return it == FByField.end() ? nullptr : it->second;
}

QLabel* TfrmGetUnitParams::CaptionOf(const QLabel* value) const {
    return ::CaptionOf(value);
}
