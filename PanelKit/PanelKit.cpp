#include "PanelKit.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPalette>

#include <algorithm>
#include <iterator>

namespace {

const QString CaptionSuffix = QStringLiteral("Caption");

constexpr QPalette::ColorGroup Groups[] = {QPalette::Active, QPalette::Inactive,
                                           QPalette::Disabled};

}  // namespace

QColor clWindowText() {
    return QGuiApplication::palette().color(QPalette::Active, QPalette::WindowText);
}

QColor clGrayText() {
    return QGuiApplication::palette().color(QPalette::Disabled, QPalette::WindowText);
}

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
    QPalette pal = Label->palette();
    // Every reply sets the colour of every value again; most of the time it is already the
    // label's own, and a new palette would only cost a round of palette propagation.
    if (std::all_of(std::begin(Groups), std::end(Groups), [&](QPalette::ColorGroup Group) {
            return pal.isBrushSet(Group, QPalette::WindowText) &&
                   pal.color(Group, QPalette::WindowText) == Color;
        }))
        return;
    for (auto group : Groups)
        pal.setColor(group, QPalette::WindowText, Color);
    Label->setPalette(pal);
}

QColor FontColor(const QLabel* Label) {
    return Label->palette().color(QPalette::Active, QPalette::WindowText);
}

void SetCaption(QLabel* Label, const QString& Text) {
    if (Label->text() == Text) return;
    Label->setText(Text);
    Label->adjustSize();
}

void SetCaption(QLabel* Label, std::string_view Utf8) {
    SetCaption(Label, QString::fromUtf8(Utf8.data(), static_cast<qsizetype>(Utf8.size())));
}

void ShowValue(QLabel* Label, std::string_view Utf8, const QColor& Color) {
    SetLabelColor(Label, Color);
    SetCaption(Label, Utf8);
}
