// A log box for one frame in hexadecimal: the send and receive logs of the window.
//
// It looks and scrolls as a multi-line text box does (sunken frame, the base colour,
// the text wrapped at spaces to the box's width, a vertical scroll bar that moves a
// line at a time), but it keeps no text document: one laid-out text, redone only
// when the text or the width changes, and reused for a text shown a moment ago (the
// poll commands come round again and again). The operator can copy the frame
// (Ctrl+C, or "复制" in its menu); the text is not edited.
#pragma once

#include <QAbstractScrollArea>
#include <QString>
#include <QTextLayout>

#include <array>
#include <memory>

class THexLog : public QAbstractScrollArea {
    Q_OBJECT
  public:
    explicit THexLog(QWidget* Parent = nullptr);
    ~THexLog() override;

    // The text shown; an unchanged text changes nothing.
    void setPlainText(const QString& Text);
    QString toPlainText() const { return FText; }
    // Lines of the wrapped text at the present width.
    int LineCount() const;

    static constexpr int Margin = 4;  // around the text, as a text box's document margin

  protected:
    void paintEvent(QPaintEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void changeEvent(QEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void contextMenuEvent(QContextMenuEvent* Event) override;
    void scrollContentsBy(int Dx, int Dy) override;

  private:
    struct TLaidOut {
        QString Text;
        int Width = -1;
        std::unique_ptr<QTextLayout> Layout;
    };
    // The layout of the present text at the present width, from the cache or new.
    TLaidOut& Current();
    void Relayout();
    void UpdateScrollBar();
    void CopyAll() const;

    QString FText;
    // The last few texts laid out; the poll cycle shows three commands in turn.
    std::array<TLaidOut, 4> FCache;
    std::size_t FNext = 0;
    TLaidOut* FShown = nullptr;
    int FLineHeight = 0;
};
