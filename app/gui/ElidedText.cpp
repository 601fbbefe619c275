#include "app/gui/ElidedText.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

namespace app {

QString ElideKeepingOrigin(const QFontMetrics& metrics, const QString& text, int width) {
    if (metrics.horizontalAdvance(text) <= width) return text;
    // A URL keeps its scheme, host and port whole where they fit with a
    // little of the rest: what is lost is the middle of its path.
    const qsizetype scheme = text.indexOf("://");
    if (scheme > 0) {
        qsizetype path = text.indexOf('/', scheme + 3);
        if (path < 0) path = text.size();
        const QString origin = text.left(path);
        const int left = width - metrics.horizontalAdvance(origin);
        if (left >= metrics.horizontalAdvance(QString(QChar(0x2026)) + "/status"))
            return origin + metrics.elidedText(text.mid(path), Qt::ElideMiddle, left);
    }
    return metrics.elidedText(text, Qt::ElideMiddle, width);
}

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
    QLineEdit::setText(ElideKeepingOrigin(fontMetrics(), full_, std::max(0, room)));
    setCursorPosition(0);  // a text that still scrolls shows its start
}

}  // namespace app
