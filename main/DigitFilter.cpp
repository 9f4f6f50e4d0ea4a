#include "DigitFilter.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>

TDigitFilter::TDigitFilter(TKeyPress KeyPress, QObject* Owner)
    : QObject(Owner), FKeyPress(std::move(KeyPress)) {}

void TDigitFilter::Attach(QLineEdit* Edit) {
    if (Edit) Edit->installEventFilter(this);
}

QString TDigitFilter::Filter(QObject* Sender, const QString& Text) const {
    QString kept;
    kept.reserve(Text.size());
    for (QChar ch : Text) {
        if (ch.unicode() < 0x20 || ch.unicode() == 0x7F) continue;
        FKeyPress(Sender, ch);
        if (!ch.isNull()) kept += ch;
    }
    return kept;
}

void TDigitFilter::InsertFiltered(QLineEdit* Edit, const QString& Text) const {
    if (Edit->isReadOnly()) return;
    const QString kept = Filter(Edit, Text);
    // Nothing left to insert leaves the box as it was, selection included, as a
    // refused typed key does.
    if (!kept.isEmpty()) Edit->insert(kept);
}

bool TDigitFilter::eventFilter(QObject* Watched, QEvent* Event) {
    auto* edit = qobject_cast<QLineEdit*>(Watched);
    if (!edit) return false;
    switch (Event->type()) {
        case QEvent::KeyPress:
            return KeyPress(edit, Event);
        case QEvent::ContextMenu:
            return ContextMenu(edit, Event);
        case QEvent::Drop:
            return Drop(edit, Event);
        case QEvent::MouseButtonRelease: {
            // The middle button pastes the X selection.
            const auto* mouse = static_cast<QMouseEvent*>(Event);
            QClipboard* clipboard = QGuiApplication::clipboard();
            if (mouse->button() != Qt::MiddleButton || !clipboard->supportsSelection() ||
                !edit->rect().contains(mouse->position().toPoint()))
                return false;
            InsertFiltered(edit, clipboard->text(QClipboard::Selection));
            return true;
        }
        default:
            return false;
    }
}

bool TDigitFilter::KeyPress(QLineEdit* Edit, QEvent* Event) {
    auto* key = static_cast<QKeyEvent*>(Event);
    if (key->matches(QKeySequence::Paste)) {
        InsertFiltered(Edit, QGuiApplication::clipboard()->text());
        return true;
    }
    // Only keys that type a character reach the handler, as with a character
    // message; editing and navigation keys and other shortcuts pass untouched.
    const QString text = key->text();
    if (text.isEmpty()) return false;
    if ((key->modifiers() & Qt::ControlModifier) != 0) return false;
    // Control characters other than backspace are editing keys (Delete types DEL
    // on X11): they pass untouched.
    if (text.size() == 1 && (text[0].unicode() < 0x20 || text[0].unicode() == 0x7F) &&
        text[0].unicode() != 8)
        return false;
    // Every character the key types goes through the handler (a character beyond
    // the basic plane is two); the key types nothing unless all of them are kept.
    for (QChar ch : text) {
        FKeyPress(Edit, ch);
        if (ch.isNull()) return true;
    }
    return false;
}

bool TDigitFilter::ContextMenu(QLineEdit* Edit, QEvent* Event) {
    // The box's own menu, with its "Paste" going through the filter.
    QMenu* menu = Edit->createStandardContextMenu();
    if (!menu) return false;
    // The paste entry carries the box's own (translated) caption, a tab and its shortcut.
    const QString paste = QLineEdit::tr("&Paste");
    for (QAction* action : menu->actions()) {
        if (action->text().section(QLatin1Char('\t'), 0, 0) != paste) continue;
        disconnect(action, &QAction::triggered, nullptr, nullptr);
        connect(action, &QAction::triggered, Edit,
                [this, Edit] { InsertFiltered(Edit, QGuiApplication::clipboard()->text()); });
    }
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(static_cast<QContextMenuEvent*>(Event)->globalPos());
    return true;
}

bool TDigitFilter::Drop(QLineEdit* Edit, QEvent* Event) {
    auto* drop = static_cast<QDropEvent*>(Event);
    const QMimeData* data = drop->mimeData();
    if (!data || !data->hasText() || Edit->isReadOnly()) return false;
    const QString text = data->text();
    // Digits alone (a move of the box's own text among them) drop as usual.
    if (Filter(Edit, text) == text) return false;
    // End the box's drag feedback, then insert what is kept where the text fell.
    QDragLeaveEvent leave;
    QCoreApplication::sendEvent(Edit, &leave);
    Edit->deselect();
    Edit->setCursorPosition(Edit->cursorPositionAt(drop->position().toPoint()));
    InsertFiltered(Edit, text);
    // A copy, never a move: the source keeps what it had.
    drop->setDropAction(Qt::CopyAction);
    drop->accept();
    return true;
}
