// The log viewer window: shows a snapshot of the event log file as it was
// when "View Log" loaded it, and never follows later lines. Closing it, by
// its Close button or its close box, discards the text and hides it; the
// window itself lives until the end of the run and is loaded afresh next
// time. The loading logic is app::ViewLogButtonClick, which drives the
// window through the LogViewer interface.
//
// Created hidden at start-up; the window owns its child widgets. GUI thread
// only. The text area is editable, but nothing typed there is ever saved.
#pragma once

#include <QDialog>

#include "app/core/ViewLog.h"

class QCloseEvent;
class QPushButton;
class QTextEdit;
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
    QTextEdit* logtext = nullptr;
    QPushButton* CloseButton = nullptr;

    void CloseButtonClick();

    // LogViewer
    void SetText(std::string text) override;
    void ShowViewer() override;

protected:
    // The close box: the same as the Close button.
    void closeEvent(QCloseEvent* event) override;
    // Escape hides the window as a dialog does; it is cleared the same way.
    void reject() override;

private:
    void FormClose();
};

}  // namespace app
