#include "app/gui/ElidedText.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

namespace app {

void TElidedLabel::SetFullText(const QString& text) {
    full_ = text;
    setToolTip(text);
    QLabel::setText(text);  // for accessibility; drawn elided below
    update();
}

QString TElidedLabel::ShownText() const {
    return fontMetrics().elidedText(full_, Qt::ElideMiddle, std::max(0, contentsRect().width()));
}

QSize TElidedLabel::sizeHint() const {
    return {fontMetrics().averageCharWidth() * 10, QLabel::sizeHint().height()};
}

QSize TElidedLabel::minimumSizeHint() const {
    return {0, QLabel::minimumSizeHint().height()};
}

void TElidedLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(palette().color(foregroundRole()));
    p.drawText(contentsRect(), Qt::AlignLeading | Qt::AlignVCenter | Qt::TextSingleLine, ShownText());
}

void TElidedLineEdit::SetFullText(const QString& text) {
    full_ = text;
    setToolTip(hint_.isEmpty() ? full_ : hint_);
    Elide();
}

void TElidedLineEdit::SetHint(const QString& hint) {
    hint_ = hint;
    setToolTip(hint_.isEmpty() ? full_ : hint_);
}

void TElidedLineEdit::resizeEvent(QResizeEvent* event) {
    QLineEdit::resizeEvent(event);
    Elide();
}

void TElidedLineEdit::Elide() {
    // The room the field gives its text: inside its frame, less the
    // margins the line edit keeps on either side of the text.
    QStyleOptionFrame opt;
    initStyleOption(&opt);
    const QRect inside = style()->subElementRect(QStyle::SE_LineEditContents, &opt, this);
    const QMargins margins = textMargins();
    const int room = inside.width() - margins.left() - margins.right() - 4;
    QLineEdit::setText(fontMetrics().elidedText(full_, Qt::ElideMiddle, std::max(0, room)));
    setCursorPosition(0);  // a text that still scrolls shows its start
}

}  // namespace app
