// A log box for one frame in hexadecimal: the send and receive logs of the window.
//
// It looks and scrolls as a multi-line text box does (sunken frame, the base colour,
// the text wrapped at spaces to the box's width, a vertical scroll bar that moves a
// line at a time), but it keeps no text document: one laid-out text, redone only
// when the text or the width changes, and reused for a text shown a moment ago (the
// poll commands come round again and again). The text is not edited.
//
// The operator can select part of a frame with the mouse (a double click takes a byte,
// Ctrl+A everything) and copy it (Ctrl+C, or "复制" in its menu; without a selection
// the whole frame). While part of a frame is selected in the box that has the focus, or
// the mouse is selecting, the box holds that frame; the newest one shows when the
// selection ends (a click, Esc, the focus elsewhere). A selection is drawn over the
// laid-out text: nothing is laid out anew for it.
//
// Assistive technology sees a read-only, multi-line text with its content, selection
// and character positions (QAccessibleTextInterface); its name is the accessible name,
// or the text of the label whose buddy the box is.
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

    // The text to show; an unchanged text changes nothing. While a selection holds the
    // frame, the newest text waits.
    void setPlainText(const QString& Text);
    // The text shown.
    QString toPlainText() const { return FText; }
    // Lines of the wrapped text at the present width.
    int LineCount() const;
    // Texts laid out so far (a selection or a repaint lays out nothing).
    int LayoutsMade() const { return FLayoutsMade; }

    // The selection: from Start to End (End may lie before Start); empty when equal.
    int SelectionStart() const { return FAnchor; }
    int SelectionEnd() const { return FCursor; }
    QString SelectedText() const;
    void SetSelection(int Start, int End);
    // Where a character is drawn and which one is at a point, in the viewport's
    // coordinates; -1 for none.
    QRect CharacterRect(int Offset) const;
    int OffsetAt(QPoint Point) const;
    // Scrolls so that the line of the character is shown.
    void ShowOffset(int Offset);

    static constexpr int Margin = 4;  // around the text, as a text box's document margin

  protected:
    void paintEvent(QPaintEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void changeEvent(QEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void contextMenuEvent(QContextMenuEvent* Event) override;
    void scrollContentsBy(int Dx, int Dy) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void mouseDoubleClickEvent(QMouseEvent* Event) override;
    void focusOutEvent(QFocusEvent* Event) override;

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
    void Copy() const;
    // Where the first line shown is drawn, in the viewport.
    QPointF Origin() const;
    void Select(int Anchor, int Cursor);
    bool Holding() const;
    void ShowWaiting();

    QString FText;
    QString FWaiting;  // the newest text while a selection holds the frame
    bool FHasWaiting = false;
    int FAnchor = 0, FCursor = 0;
    bool FSelecting = false;
    int FLayoutsMade = 0;
    // The last few texts laid out; the poll cycle shows three commands in turn.
    std::array<TLaidOut, 4> FCache;
    std::size_t FNext = 0;
    TLaidOut* FShown = nullptr;
    int FLineHeight = 0;
};
