#include "PanelLabels.h"

#include <QColor>
#include <QLabel>
#include <QPalette>

#include <algorithm>

namespace {

const QString CaptionSuffix = QStringLiteral("Caption");

}  // namespace

QLabel* AddPanelLabel(QWidget* Parent, const QString& Name, const QString& Text, int Left,
                      int Top) {
    auto* lbl = new QLabel(Parent);
    // Texts come from the equipment: shown as they are, never read as markup.
    lbl->setTextFormat(Qt::PlainText);
    lbl->setText(Text);
    lbl->setObjectName(Name);
    lbl->move(Left, Top);
    lbl->adjustSize();
    return lbl;
}

QLabel* AddCaptionedValue(QWidget* Parent, const QString& Name, const QString& Caption,
                          int CaptionLeft, const QString& Value, int ValueLeft, int Top) {
    const QLabel* caption = AddPanelLabel(Parent, Name + CaptionSuffix, Caption, CaptionLeft, Top);
    const int left = std::max(ValueLeft, caption->x() + caption->width() + 1);
    QLabel* value = AddPanelLabel(Parent, Name, Value, left, Top);
    // The last values stay readable, in their own colour, while the page is
    // greyed out on a closed link; only the captions grey.
    SetLabelColor(value, value->palette().color(QPalette::Active, QPalette::WindowText));
    return value;
}

QLabel* CaptionOf(const QLabel* Value) {
    if (Value == nullptr || Value->parentWidget() == nullptr) return nullptr;
    return Value->parentWidget()->findChild<QLabel*>(Value->objectName() + CaptionSuffix,
                                                     Qt::FindDirectChildrenOnly);
}

void SetLabelColor(QLabel* Label, const QColor& Color) {
    static constexpr QPalette::ColorGroup Groups[] = {QPalette::Active, QPalette::Inactive,
                                                      QPalette::Disabled};
    QPalette pal = Label->palette();
    // Every reply sets the colour of every value again; most of the time it is already the
    // label's own, and a new palette would only cost a round of palette propagation.
    if (std::all_of(std::begin(Groups), std::end(Groups), [&](QPalette::ColorGroup Group) {
            return pal.isBrushSet(Group, QPalette::WindowText) &&
                   pal.color(Group, QPalette::WindowText) == Color;
        }))
        return;
    for (auto group : Groups) {
        pal.setColor(group, QPalette::WindowText, Color);
    }
    Label->setPalette(pal);
}
