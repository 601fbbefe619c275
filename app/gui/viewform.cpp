#include "app/gui/viewform.h"

#include <QCloseEvent>
#include <QFont>
#include <QHBoxLayout>
#include <QPalette>
#include <QPushButton>
#include <QTextEdit>
#include <QVBoxLayout>

#include "ads/Advertisement.h"

namespace app {

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

    logtext = new QTextEdit(this);
    logtext->setObjectName("logtext");
    logtext->setAcceptRichText(false);
    QFont font("Courier New", 10);
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    logtext->setFont(font);
    logtext->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    logtext->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    logtext->setLineWrapMode(QTextEdit::WidgetWidth);
    // The selection keeps its colours when the focus moves to the button.
    QPalette pal = logtext->palette();
    for (auto role : {QPalette::Highlight, QPalette::HighlightedText})
        pal.setColor(QPalette::Inactive, role, pal.color(QPalette::Active, role));
    logtext->setPalette(pal);

    CloseButton = new QPushButton("Close", this);
    CloseButton->setObjectName("CloseButton");
    CloseButton->setDefault(true);
    connect(CloseButton, &QPushButton::clicked, this, [this] { CloseButtonClick(); });

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(CloseButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(BannerArea, 0, Qt::AlignHCenter);
    layout->addWidget(logtext, 1);
    layout->addLayout(buttons);
    BannerArea->Loaded();
}

void TLogView::CloseButtonClick() {
    logtext->clear();
    hide();
}

void TLogView::FormClose() {
    logtext->clear();
    hide();
}

void TLogView::SetText(std::string text) {
    // The log is single-byte text; every byte shows as its Latin-1 character.
    logtext->setPlainText(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
}

void TLogView::ShowViewer() {
    // Shown, not raised: an open viewer just gets the new text.
    show();
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
