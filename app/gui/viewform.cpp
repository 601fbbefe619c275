#include "app/gui/viewform.h"

#include "app/gui/StoredText.h"

#include <QCloseEvent>
#include <QFont>
#include <QHBoxLayout>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "ads/Advertisement.h"

namespace app {

namespace {
// A piece small enough that a turn of the loop stays short.
constexpr qsizetype kPiece = 128 * 1024;
}  // namespace

TLogView::TLogView(QWidget* parent) : QDialog(parent) {
    setObjectName("LogView");
    setWindowTitle("Log Viewer");
    // A window of its own with the usual frame buttons, not a dialog box
    // that stays above the main window.
    setWindowFlags(Qt::Window);
    setModal(false);
    resize(600, 480);
    setMinimumWidth(600);

    BannerArea = new ads::TAdvertisement(this);
    BannerArea->setObjectName("Banner");
    BannerArea->SetBounds(0, 0, 468, 60);
    BannerArea->SetAdSize(ads::ad468x60);
    BannerArea->SetSidebar(false);
    BannerArea->SoftwareID = 682;
    BannerArea->Version = 0;

    // A plain-text area: it lays out only what is on screen, so a log of
    // megabytes opens at its end at once.
    logtext = new QPlainTextEdit(this);
    logtext->setObjectName("logtext");
    QFont font("Courier New", 10);
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    logtext->setFont(font);
    logtext->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    logtext->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    logtext->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // The selection keeps its colours when the focus moves to the button.
    QPalette pal = logtext->palette();
    for (auto role : {QPalette::Highlight, QPalette::HighlightedText})
        pal.setColor(QPalette::Inactive, role, pal.color(QPalette::Active, role));
    logtext->setPalette(pal);

    CloseButton = new QPushButton("Close", this);
    CloseButton->setObjectName("CloseButton");
    CloseButton->setDefault(true);
    connect(CloseButton, &QPushButton::clicked, this, [this] { CloseButtonClick(); });

    HistoryButton = new QPushButton("History", this);
    HistoryButton->setObjectName("HistoryButton");
    HistoryButton->setVisible(false);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(HistoryButton);
    buttons->addStretch(1);
    buttons->addWidget(CloseButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(BannerArea, 0, Qt::AlignHCenter);
    layout->addWidget(logtext, 1);
    layout->addLayout(buttons);
    BannerArea->Loaded();
}

void TLogView::SetHistoryHandler(std::function<void()> open) {
    connect(HistoryButton, &QPushButton::clicked, this, [open = std::move(open)] { open(); });
    HistoryButton->setVisible(true);
}

void TLogView::CloseButtonClick() {
    FormClose();
}

void TLogView::FormClose() {
    ++load_;  // pieces still scheduled belong to no text now
    pending_.clear();
    loaded_ = 0;
    logtext->clear();
    hide();
}

void TLogView::SetText(std::string text) {
    // Lines of an older log may be Latin-1, newer ones UTF-8.
    pending_ = FromStoredLines(text);
    pending_.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    loaded_ = 0;
    ++load_;
    logtext->clear();
    logtext->setUndoRedoEnabled(false);  // a load is nothing to undo
    LoadPiece(load_);
}

void TLogView::LoadPiece(unsigned load) {
    if (load != load_ || !Loading()) return;
    QTextCursor end(logtext->document());
    end.movePosition(QTextCursor::End);
    const qsizetype n = std::min(kPiece, pending_.size() - loaded_);
    end.insertText(pending_.mid(loaded_, n));
    loaded_ += n;
    if (Loading()) {
        QTimer::singleShot(0, this, [this, load] { LoadPiece(load); });
        return;
    }
    pending_.clear();
    loaded_ = 0;
    logtext->setUndoRedoEnabled(true);
    ScrollToEnd();
}

void TLogView::ScrollToEnd() {
    logtext->moveCursor(QTextCursor::End);
    logtext->ensureCursorVisible();
    logtext->verticalScrollBar()->setValue(logtext->verticalScrollBar()->maximum());
}

void TLogView::ShowViewer() {
    // Shown, not raised: an open viewer just gets the new text.
    show();
    if (!Loading()) ScrollToEnd();
}

void TLogView::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
}

void TLogView::reject() {
    FormClose();
    QDialog::reject();
}

}  // namespace app
