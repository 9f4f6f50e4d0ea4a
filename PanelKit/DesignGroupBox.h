// A group box drawn as the design has it: the frame's top line runs through
// the middle of the caption, so a first row placed right under the caption
// stays clear of the line, whatever the desktop style draws for group boxes.
#pragma once

#include <QGroupBox>

class TDesignGroupBox : public QGroupBox {
    Q_OBJECT

  public:
    explicit TDesignGroupBox(const QString& Title, QWidget* Parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* Event) override;
};
