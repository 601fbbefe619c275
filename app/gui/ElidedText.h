// Text fields that never grow their window: a text wider than the field
// loses its middle, so both its start (a URL's scheme, host and port) and
// its end stay readable, and the whole text is the tooltip.
#pragma once

#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>

namespace app {

// The text elided in the middle to width; a URL loses the middle of its
// path first, so its scheme, host and port stay whole where they can.
QString ElideKeepingOrigin(const QFontMetrics& metrics, const QString& text, int width);

// A one-line label. Its size hints ignore the text's width, so a long text
// never widens the window it sits in.
class TElidedLabel : public QLabel {
public:
    using QLabel::QLabel;
    // The text, shown whole where it fits; the tooltip follows it.
    void SetFullText(const QString& text);
    const QString& FullText() const { return full_; }
    // What the label draws at its present width.
    QString ShownText() const;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString full_;
};

// A read-only field that shows its text from the start, elided in the
// middle when it is too wide, re-elided as the field is resized. The
// tooltip is the hint when one is set, else the whole text.
class TElidedLineEdit : public QLineEdit {
public:
    using QLineEdit::QLineEdit;
    void SetFullText(const QString& text);
    const QString& FullText() const { return full_; }
    void SetHint(const QString& hint);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void Elide();
    QString full_, hint_;
};

}  // namespace app
