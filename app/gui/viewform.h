// The log viewer window: shows a snapshot of the event log file as it was
// when "View Log" loaded it, and never follows later lines. Closing it, by
// its Close button or its close box, discards the text and hides it; the
// window itself lives until the end of the run and is loaded afresh next
// time. The loading logic is app::ViewLogButtonClick, which drives the
// window through the LogViewer interface.
//
// Created hidden at start-up; the window owns its child widgets. GUI thread
// only. The text area is editable, but nothing typed there is ever saved.
// A long text goes into the area in pieces, one per turn of the event loop,
// so checks (and the rest of the program) go on while it loads; the view
// opens on the first piece and ends scrolled to the newest line.
#pragma once

#include <QDialog>
#include <functional>

#include "app/core/ViewLog.h"

#include <QString>

class QCloseEvent;
class QPushButton;
class QPlainTextEdit;
namespace ads {
class TAdvertisement;
}

namespace app {

class TLogView : public QDialog, public LogViewer {
    Q_OBJECT

public:
    explicit TLogView(QWidget* parent = nullptr);

    // The advertisement banner above the text (468 x 60).
    ads::TAdvertisement* BannerArea = nullptr;
    QPlainTextEdit* logtext = nullptr;
    QPushButton* CloseButton = nullptr;
    // "History", left of Close: hidden until the program gives it a window
    // to open (SetHistoryHandler).
    QPushButton* HistoryButton = nullptr;
    void SetHistoryHandler(std::function<void()> open);

    void CloseButtonClick();

    // LogViewer
    void SetText(std::string text) override;
    void ShowViewer() override;
    // True while pieces of the last text are still to go in.
    bool Loading() const { return loaded_ < pending_.size(); }

protected:
    // The close box: the same as the Close button.
    void closeEvent(QCloseEvent* event) override;
    // Escape hides the window as a dialog does; it is cleared the same way.
    void reject() override;

private:
    void FormClose();
    // Puts the next piece of pending_ in; schedules the one after it.
    void LoadPiece(unsigned load);
    void ScrollToEnd();

    QString pending_;
    qsizetype loaded_ = 0;
    unsigned load_ = 0;  // which text the scheduled pieces belong to
};

}  // namespace app
