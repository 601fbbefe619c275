// The "Server Pool" dialog: ten host rows with their "Active" boxes, the
// cycle time, the log name and the two start options, bound to the settings
// model. The model's fields are the live settings; the dialog copies them in
// when it opens and back out only when OK closes it: Cancel, Escape and
// closing the window leave the settings in use untouched and the next
// opening shows them. Owned by start-up, hidden between uses, modal while
// shown.
#pragma once

#include <QDialog>
#include <array>

class QLineEdit;
class QCheckBox;
class QSpinBox;
class QPushButton;
namespace ads {
class TAdvertisement;
}

namespace app {

class TServerForm;

class TServerFormDialog : public QDialog {
    Q_OBJECT
public:
    explicit TServerFormDialog(TServerForm& model, QWidget* parent = nullptr);

    // Shows the dialog modally; true when it closed with OK.
    bool Execute();

    std::array<QLineEdit*, 10> serverName{};
    std::array<QCheckBox*, 10> active{};
    QCheckBox* AutoStart = nullptr;
    QCheckBox* StartOnBoot = nullptr;
    QSpinBox* frequency = nullptr;
    QLineEdit* LogName = nullptr;
    QPushButton* OkButton = nullptr;
    QPushButton* CancelButton = nullptr;
    // The banners: 468 x 60 at the top, 120 x 60 in the lower left corner.
    ads::TAdvertisement* Banner = nullptr;
    ads::TAdvertisement* SmallBanner = nullptr;

    void LoadFromModel();
    void StoreToModel();

private:
    TServerForm& model_;
};

}  // namespace app
