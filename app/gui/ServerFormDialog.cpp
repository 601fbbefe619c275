#include "app/gui/ServerFormDialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <QValidator>

#include "ads/Advertisement.h"
#include "app/core/sform.h"
#include "app/gui/StoredText.h"

namespace app {

namespace {
// A banner of the program: fixed size, identity 682, no sidebar.
ads::TAdvertisement* MakeBanner(QWidget* parent, const char* name, int width) {
    auto* banner = new ads::TAdvertisement(parent);
    banner->setObjectName(name);
    banner->SetBounds(0, 0, width, 60);
    banner->SetAdSize(width < 180 ? ads::ad120x60 : ads::ad468x60);
    banner->SetSidebar(false);
    banner->SoftwareID = 682;
    banner->Version = 0;
    return banner;
}

std::string Typed(const QString& s) {
    return DropControlChars(ToStored(s));
}

bool IsControl(QChar c) {
    return c.unicode() < 0x20 || c.unicode() == 0x7F;
}

// What a text field takes of typed or pasted text: control characters are
// dropped as they come in, so a pasted line break never reaches the file.
class TFieldFilter : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int& pos) const override {
        QString kept;
        kept.reserve(input.size());
        int at = pos;
        for (qsizetype i = 0; i < input.size(); ++i) {
            if (!IsControl(input[i]))
                kept += input[i];
            else if (i < pos)
                --at;
        }
        input = kept;
        pos = at;
        return Acceptable;
    }
};

// The cycle-time field: any integer may be typed; one outside the bounds is
// clamped to the nearest bound when the field gives up the focus (or the
// dialog closes), not thrown away for the old value.
class TCycleTimeField : public QSpinBox {
public:
    using QSpinBox::QSpinBox;

protected:
    QValidator::State validate(QString& text, int& pos) const override {
        const QString t = text.trimmed();
        if (t.isEmpty() || t == "-" || t == "+") return QValidator::Intermediate;
        qsizetype i = (t[0] == '-' || t[0] == '+') ? 1 : 0;
        for (; i < t.size(); ++i)
            if (!t[i].isDigit() || t[i].unicode() > 0x7F) return QValidator::Invalid;
        bool ok = false;
        const qlonglong v = t.toLongLong(&ok);
        if (ok && v >= minimum() && v <= maximum()) return QSpinBox::validate(text, pos);
        return QValidator::Intermediate;
    }
    void fixup(QString& input) const override {
        TServerForm clamp;
        clamp.SetFrequencyText(Typed(input));
        input = QString::number(clamp.Frequency());
    }
};
}  // namespace

TServerFormDialog::TServerFormDialog(TServerForm& model, QWidget* parent) : QDialog(parent), model_(model) {
    setObjectName("ServerForm");
    setWindowTitle("Server Pool");
    resize(488, 452);

    // Tight margins and rows, so the whole dialog fits its size of 488 x 452
    // with the default font.
    auto* top = new QVBoxLayout(this);
    top->setContentsMargins(8, 6, 8, 6);
    top->setSpacing(4);
    Banner = MakeBanner(this, "Banner", 468);
    top->addWidget(Banner, 0, Qt::AlignHCenter);

    auto* grid = new QGridLayout();
    grid->setVerticalSpacing(1);
    for (int i = 0; i < TServerForm::kRows; ++i) {
        if (i == 0) grid->addWidget(new QLabel("Server Pool", this), 0, 0);
        serverName[i] = new QLineEdit(this);
        serverName[i]->setValidator(new TFieldFilter(serverName[i]));
        serverName[i]->setObjectName(QString("server%1name").arg(i + 1));
        active[i] = new QCheckBox("Active", this);
        active[i]->setObjectName(i == 0 ? QString("CB1") : QString("cb%1").arg(i + 1));
        grid->addWidget(serverName[i], i, 1);
        grid->addWidget(active[i], i, 2);
    }
    top->addLayout(grid);

    auto* options = new QGridLayout();
    options->setVerticalSpacing(1);
    frequency = new TCycleTimeField(this);
    frequency->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    frequency->setObjectName("frequency");
    frequency->setRange(TServerForm::kMinFrequency, TServerForm::kMaxFrequency);
    frequency->setSingleStep(1);
    // Kept with the field; the dialog shows no hints.
    frequency->setAccessibleDescription("Time in seconds to wait for each check");
    LogName = new QLineEdit(this);
    LogName->setValidator(new TFieldFilter(LogName));
    LogName->setObjectName("LogName");
    AutoStart = new QCheckBox("Start check on load", this);
    AutoStart->setObjectName("AutoStart");
    StartOnBoot = new QCheckBox("Start On Boot", this);
    StartOnBoot->setObjectName("StartOnBoot");
    options->addWidget(new QLabel("Cycle Time (secs)", this), 0, 0);
    options->addWidget(frequency, 0, 1);
    options->addWidget(AutoStart, 0, 2);
    options->addWidget(new QLabel("Log Name", this), 1, 0);
    options->addWidget(LogName, 1, 1);
    options->addWidget(StartOnBoot, 1, 2);
    top->addLayout(options);

    auto* bottom = new QHBoxLayout();
    auto* sponsor = new QVBoxLayout();
    SmallBanner = MakeBanner(this, "SmallBanner", 120);
    sponsor->addWidget(SmallBanner);
    sponsor->addWidget(new QLabel("Sponsors keep this product free", this));
    bottom->addLayout(sponsor);
    bottom->addStretch();
    OkButton = new QPushButton("Ok", this);
    OkButton->setObjectName("OkButton");
    OkButton->setDefault(true);  // Enter presses it
    OkButton->setAutoDefault(true);
    CancelButton = new QPushButton("Cancel", this);
    CancelButton->setObjectName("CancelButton");
    CancelButton->setAutoDefault(false);
    bottom->addWidget(OkButton, 0, Qt::AlignBottom);
    bottom->addWidget(CancelButton, 0, Qt::AlignBottom);
    top->addLayout(bottom);

    connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    Banner->Loaded();
    SmallBanner->Loaded();
}

void TServerFormDialog::LoadFromModel() {
    for (int i = 0; i < TServerForm::kRows; ++i) {
        serverName[i]->setText(FromStored(model_.ServerName[i]));
        active[i]->setChecked(model_.Active[i]);
    }
    frequency->setValue(model_.Frequency());
    LogName->setText(FromStored(model_.LogName));
    AutoStart->setChecked(model_.AutoStart);
    StartOnBoot->setChecked(model_.StartOnBoot);
}

void TServerFormDialog::StoreToModel() {
    for (int i = 0; i < TServerForm::kRows; ++i) {
        model_.ServerName[i] = Typed(serverName[i]->text());
        model_.Active[i] = active[i]->isChecked();
    }
    // A typed value the field has not taken yet: an integer is clamped,
    // anything else reads as the minimum.
    model_.SetFrequencyText(Typed(frequency->cleanText()));
    frequency->setValue(model_.Frequency());
    model_.LogName = Typed(LogName->text());
    model_.AutoStart = AutoStart->isChecked();
    model_.StartOnBoot = StartOnBoot->isChecked();
}

bool TServerFormDialog::Execute() {
    LoadFromModel();
    OkButton->setFocus();
    // Only OK takes the edits; Cancel, Escape and closing the window throw
    // them away, and the fields show the settings in use again.
    const bool ok = exec() == QDialog::Accepted;
    if (ok)
        StoreToModel();
    else
        LoadFromModel();
    return ok;
}

}  // namespace app
