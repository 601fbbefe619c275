#include "desktop/Placemnt.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "base/Exception.h"
#include "base/Strings.h"
#include "desktop/AppUtils.h"
#include "platform/Application.h"
#include "platform/IniFile.h"

namespace desktop {

namespace {

const char* const kDelims = ", ";

bool HasMaximizeButton(const QWidget* form) {
    if (form->windowType() == Qt::Dialog) return false;
    const Qt::WindowFlags f = form->windowFlags();
    if (!(f & Qt::CustomizeWindowHint)) return true;
    return f & Qt::WindowMaximizeButtonHint;
}

// Gives or takes the maximise button. A change of window flags recreates
// the native window and hides it, so a visible window is shown again.
void SetMaximizeButton(QWidget* form, bool on) {
    if (HasMaximizeButton(form) == on) return;
    Qt::WindowFlags f = form->windowFlags();
    if (!(f & Qt::CustomizeWindowHint))
        f |= Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
             Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::WindowMaximizeButtonHint;
    f.setFlag(Qt::WindowMaximizeButtonHint, on);
    const bool visible = form->isVisible();
    form->setWindowFlags(f);
    if (visible) form->show();
}

std::string FormatFour(int a, int b, int c, int d) {
    return std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c) + "," + std::to_string(d);
}

int IntWord(int n, const std::string& s, int def) {
    return base::StrToIntDef(ExtractWord(n, s, kDelims), def);
}

}  // namespace

QEvent::Type TGetMinMaxInfoEvent::EventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

// ---- TWinMinMaxInfo ----

void TWinMinMaxInfo::Set(int index, int v) {
    if (v_[index] == v) return;
    v_[index] = v;
    if (owner_) owner_->MinMaxInfoModified();
}

void TWinMinMaxInfo::Assign(const TWinMinMaxInfo& other) {
    std::copy(std::begin(other.v_), std::end(other.v_), std::begin(v_));
    if (owner_) owner_->MinMaxInfoModified();
}

bool TWinMinMaxInfo::IsSet() const {
    return std::any_of(std::begin(v_), std::end(v_), [](int v) { return v != 0; });
}

// ---- TFormPlacement ----

TFormPlacement::TFormPlacement(QObject* owner) : QObject(owner) {
    auto* widget = qobject_cast<QWidget*>(owner);
    if (widget && widget->isWindow()) form_ = widget;
    if (form_) Options = {fpState, fpPosition};
    winHook_ = new TRxWindowHook(this);
    winHook_->AfterMessage = [this](base::TObject*, TMessage& msg, bool&) { PlacementMessageFilter(msg); };
    if (!form_) return;
    // The class name is read now: while the window is being destroyed it
    // no longer answers with its own. The namespace the class is declared
    // in is no part of its name here.
    defaultSection_ = form_->metaObject()->className();
    if (const size_t scope = defaultSection_.rfind("::"); scope != std::string::npos)
        defaultSection_.erase(0, scope + 2);
    winHadMaxButton_ = HasMaximizeButton(form_);
    handlerHook_ = new TRxWindowHook(this);
    handlerHook_->BeforeMessage = [this](base::TObject*, TMessage& msg, bool&) {
        if (msg.Msg == QEvent::Show && !msg.Event->spontaneous()) FormShow();
    };
    handlerHook_->AfterMessage = [this](base::TObject*, TMessage& msg, bool&) {
        if (msg.Msg == QEvent::Close) FormCloseQuery(msg.Event->isAccepted());
    };
    handlerHook_->SetWinControl(form_);
    formGone_ = QObject::connect(form_, &QObject::destroyed, this, [this] { FormDestroy(); });
}

TFormPlacement::~TFormPlacement() {
    ini_.reset();
    linked_.clear();
    QObject::disconnect(formGone_);
    delete winHook_;
    delete handlerHook_;
}

std::string TFormPlacement::SettingsFileName() const {
    if (!IniFileName.empty()) return IniFileName;
    return UseRegistry ? DefaultRegistryKey() : DefaultIniFileName();
}

std::string TFormPlacement::SectionName() const {
    return IniSection.empty() ? defaultSection_ : IniSection;
}

// Opens the settings file unless it is open; true when this call opened it.
// Names written the Windows way (".\sentrel.ini") are taken as paths. The
// registry has no place here: a section kept "in the registry" goes to a
// file named after the key in the user's configuration folder.
class TFormPlacement::OpenedIni {
public:
    explicit OpenedIni(TFormPlacement& owner) : owner_(owner) {
        if (owner_.ini_) return;
        std::string path = owner_.SettingsFileName();
        std::replace(path.begin(), path.end(), '\\', '/');
        if (owner_.UseRegistry) {
            const char* config = std::getenv("XDG_CONFIG_HOME");
            const char* home = std::getenv("HOME");
            const std::string base = config && *config ? config : std::string(home ? home : ".") + "/.config";
            path = base + "/" + path + ".ini";
        }
        owner_.ini_ = std::make_unique<platform::TIniFile>(path);
        owner_.iniChanged_ = false;
        opened_ = true;
    }
    // Writes what changed, whole, and closes the file.
    void Close() {
        if (!opened_) return;
        opened_ = false;
        std::unique_ptr<platform::TIniFile> ini = std::move(owner_.ini_);
        if (!owner_.iniChanged_) return;
        try {
            if (owner_.UseRegistry)
                std::filesystem::create_directories(std::filesystem::path(ini->FileName()).parent_path());
            ini->UpdateFile();
        } catch (const std::exception&) {
            throw base::Exception("Unable to write to " + owner_.SettingsFileName());
        }
    }
    // On the way out of a failure: what was written still goes to the
    // file, and the first failure is the one reported.
    ~OpenedIni() {
        try {
            Close();
        } catch (const std::exception&) {
        }
    }

private:
    TFormPlacement& owner_;
    bool opened_ = false;
};

std::string TFormPlacement::ReadSectionString(const std::string& section, const std::string& key,
                                              const std::string& def) {
    OpenedIni ini(*this);
    std::string value = ini_->ReadString(section, key, def);
    ini.Close();
    return value;
}

void TFormPlacement::WriteSectionString(const std::string& section, const std::string& key,
                                        const std::string& value) {
    OpenedIni ini(*this);
    ini_->WriteString(section, key, QuoteIniValue(value));
    iniChanged_ = true;
    ini.Close();
}

std::int32_t TFormPlacement::ReadInteger(const std::string& key, std::int32_t def) {
    OpenedIni ini(*this);
    const std::int32_t value = ini_->ReadInteger(SectionName(), key, def);
    ini.Close();
    return value;
}

void TFormPlacement::WriteInteger(const std::string& key, std::int32_t value) {
    OpenedIni ini(*this);
    ini_->WriteInteger(SectionName(), key, value);
    iniChanged_ = true;
    ini.Close();
}

void TFormPlacement::WriteResolutionKey(const std::string& key, const std::string& value) {
    WriteSectionString(SectionName(), key + ResolutionTag(), value);
    WriteSectionString(SectionName(), key, value);
}

std::string TFormPlacement::ReadResolutionKey(const std::string& key) {
    std::string value = ReadSectionString(SectionName(), key + ResolutionTag(), "");
    if (value.empty()) value = ReadSectionString(SectionName(), key, "");
    return value;
}

void TFormPlacement::AddLinkedStorage(TLinkedStorage* storage) {
    if (std::find(linked_.begin(), linked_.end(), storage) == linked_.end()) linked_.push_back(storage);
}

void TFormPlacement::RemoveLinkedStorage(TLinkedStorage* storage) {
    std::erase(linked_, storage);
}

// ---- the window's events ----

void TFormPlacement::FormShow() {
    if (Active) platform::Application().Guard([this] { RecallPlacement(); });
    UpdateSizeLimits();
}

void TFormPlacement::FormCloseQuery(bool canClose) {
    if (canClose && Active && form_ && form_->testAttribute(Qt::WA_WState_Created))
        platform::Application().Guard([this] { PersistPlacement(); });
}

void TFormPlacement::FormDestroy() {
    if (!Active || saved_) return;
    destroying_ = true;
    platform::Application().Guard([this] { PersistPlacement(); });
    destroying_ = false;
}

// ---- save ----

void TFormPlacement::PersistPlacement() {
    // A window that was never shown does not overwrite what is stored.
    if (!restored_ && Active) return;
    if (!form_) return;
    {
        OpenedIni ini(*this);
        WriteInteger("FormVersion", Version);
        SaveSectionKeys();
        // The keys reach the file before anyone hears they were saved; a
        // save that could not be written is not one.
        ini.Close();
    }
    base::Fire(OnSavePlacement, this);
    saved_ = true;
}

void TFormPlacement::SaveSectionKeys() {
    WritePlacementKeys();
    OpenedIni ini(*this);
    if (Options.count(fpActiveControl)) {
        if (const QWidget* focused = form_->focusWidget()) {
            ini_->WriteString(SectionName(), "ActiveControl", focused->objectName().toStdString());
            iniChanged_ = true;
        }
    }
    ini_->WriteString(SectionName(), "Visible", destroying_ ? "1" : "0");
    iniChanged_ = true;
    for (TLinkedStorage* storage : std::vector<TLinkedStorage*>(linked_)) storage->SaveProperties();
    ini.Close();
}

void TFormPlacement::WritePlacementKeys() {
    TWindowPlacement p = GetWindowPlacement(form_);
    if (form_ == MainForm() && IsApplicationMinimized()) p.ShowCmd = SW_SHOWMINIMIZED;
    WriteInteger("Flags", p.Flags);
    WriteInteger("ShowCmd", p.ShowCmd);
    WriteInteger("PixelsPerInch", ScreenPixelsPerInch());
    WriteResolutionKey(
        "MinMaxPos", FormatFour(p.MinPosition.x(), p.MinPosition.y(), p.MaxPosition.x(), p.MaxPosition.y()));
    const TRect& r = p.NormalPosition;
    WriteResolutionKey("NormPos", FormatFour(r.Left, r.Top, r.Right, r.Bottom));
}

// ---- restore ----

void TFormPlacement::RecallPlacement() {
    saved_ = false;
    if (!form_) return;
    {
        OpenedIni ini(*this);
        try {
            if (ReadInteger("FormVersion", 0) >= Version) {
                LoadSectionKeys();
                restored_ = true;
                base::Fire(OnRestorePlacement, this);
                if (Options.count(fpActiveControl)) {
                    const std::string name = ReadSectionString(SectionName(), "ActiveControl", "");
                    QWidget* control =
                        name.empty() ? nullptr : form_->findChild<QWidget*>(QString::fromStdString(name));
                    if (control && control->focusPolicy() != Qt::NoFocus && control->isEnabled())
                        control->setFocus();
                }
            }
        } catch (...) {
            restored_ = true;
            throw;
        }
        restored_ = true;
        ini.Close();
    }
    AdjustMaximizedPosition();
}

void TFormPlacement::LoadSectionKeys() {
    ReadPlacementKeys(Options.count(fpPosition) > 0, Options.count(fpState) > 0);
    for (TLinkedStorage* storage : std::vector<TLinkedStorage*>(linked_)) storage->LoadProperties();
}

bool TFormPlacement::IsSizeable() const {
    const Qt::WindowFlags f = form_->windowFlags();
    if (f & (Qt::FramelessWindowHint | Qt::MSWindowsFixedSizeDialogHint)) return false;
    return form_->minimumSize() != form_->maximumSize();
}

void TFormPlacement::ReadPlacementKeys(bool position, bool state) {
    if (!position && !state) return;
    TWindowPlacement p = GetWindowPlacement(form_);
    // Applying the record must not show a window that is not shown yet.
    if (!form_->isVisible()) p.ShowCmd = SW_HIDE;
    if (position) {
        p.Flags = ReadInteger("Flags", p.Flags);
        bool found = false;
        const std::string minMax = ReadResolutionKey("MinMaxPos");
        if (!minMax.empty()) {
            found = true;
            p.MinPosition = {IntWord(1, minMax, 0), IntWord(2, minMax, 0)};
            p.MaxPosition = {IntWord(3, minMax, 0), IntWord(4, minMax, 0)};
        }
        const std::string norm = ReadResolutionKey("NormPos");
        if (!norm.empty()) {
            found = true;
            const QRect g = form_->geometry();
            p.NormalPosition = {IntWord(1, norm, g.x()), IntWord(2, norm, g.y()),
                                IntWord(3, norm, g.x() + g.width()), IntWord(4, norm, g.y() + g.height())};
        }
        const int ppi = ReadInteger("PixelsPerInch", ScreenPixelsPerInch());
        if (found && ppi == ScreenPixelsPerInch()) {
            TRect& r = p.NormalPosition;
            if (!IsSizeable()) {
                r.Right = r.Left + form_->width();
                r.Bottom = r.Top + form_->height();
            }
            // A rectangle with no width, or no height, is no place for a
            // window: the stored one is ignored. One off the screen (saved
            // on a larger screen, or at another font size) is brought onto
            // the screen it lands on.
            if (r.Right > r.Left && r.Bottom > r.Top) {
                const QRect frame = form_->frameGeometry(), inside = form_->geometry();
                const QMargins margins(inside.left() - frame.left(), inside.top() - frame.top(),
                                       frame.right() - inside.right(), frame.bottom() - inside.bottom());
                const QRect fitted = FitOnScreen(QRect(r.Left, r.Top, r.Right - r.Left, r.Bottom - r.Top),
                                                 margins, IsSizeable());
                r = {fitted.left(), fitted.top(), fitted.left() + fitted.width(),
                     fitted.top() + fitted.height()};
                SetWindowPlacement(form_, p);
                // Not framed yet (a window not yet shown on a desktop whose
                // window manager frames it): only its inside was fitted.
                if (margins.isNull()) FitFrameOnceKnown();
            }
        }
    }
    if (state) {
        // Our windows have no system-default position rule, so a window
        // starts normal unless the section says otherwise.
        Qt::WindowState target = Qt::WindowNoState;
        switch (ReadInteger("ShowCmd", 0)) {
            case 1:
            case 5:
            case 9: target = Qt::WindowNoState; break;
            case 2:
            case 6:
            case 7: target = Qt::WindowMinimized; break;
            case 3: target = Qt::WindowMaximized; break;
            default: break;
        }
        QWidget* mainForm = MainForm();
        if (target == Qt::WindowMinimized && (!mainForm || mainForm == form_)) {
            // The application minimises once the window is up.
            QPointer<QWidget> form = form_;
            QMetaObject::invokeMethod(
                form_,
                [form] {
                    if (form) form->showMinimized();
                },
                Qt::QueuedConnection);
            return;
        }
        form_->setWindowState(target);
    }
    form_->update();
}

void TFormPlacement::FitFrameOnceKnown() {
    // Asked every few moments for a while after the window is shown; a
    // desktop that never frames it ends the asking.
    constexpr int kEveryMs = 50;
    if (!frameTimer_) {
        frameTimer_ = new QTimer(this);
        frameTimer_->setInterval(kEveryMs);
        QObject::connect(frameTimer_, &QTimer::timeout, this, [this] { FitFrameTick(); });
    }
    frameTries_ = 0;
    frameTimer_->start();
}

void TFormPlacement::FitFrameTick() {
    constexpr int kTries = 60;
    if (!form_ || ++frameTries_ > kTries) {
        frameTimer_->stop();
        return;
    }
    if (!form_->isVisible() || (form_->windowState() & (Qt::WindowMinimized | Qt::WindowMaximized))) return;
    const QRect frame = form_->frameGeometry(), inside = form_->geometry();
    if (frame == inside) return;
    frameTimer_->stop();
    const QMargins margins(inside.left() - frame.left(), inside.top() - frame.top(),
                           frame.right() - inside.right(), frame.bottom() - inside.bottom());
    const QRect fitted = FitOnScreen(inside, margins, IsSizeable());
    if (fitted != inside) form_->setGeometry(fitted);
}

void TFormPlacement::AdjustMaximizedPosition() {
    if (!form_ || !form_->testAttribute(Qt::WA_WState_Created) || preventResize_ || minMaxInfo_.IsSet())
        return;
    TWindowPlacement p = GetWindowPlacement(form_);
    if (!form_->isVisible()) p.ShowCmd = SW_HIDE;
    const QPoint frame = WindowFrameSize(form_);
    p.MaxPosition = {-frame.x(), -frame.y()};
    SetWindowPlacement(form_, p);
}

// ---- size limits ----

void TFormPlacement::SetPreventResize(bool v) {
    if (!form_ || v == preventResize_) return;
    preventResize_ = v;
    AdjustMaximizedPosition();
    if (v) winHadMaxButton_ = HasMaximizeButton(form_);
    const bool active = Active;
    Active = false;
    SetMaximizeButton(form_, !(v || !winHadMaxButton_ || form_->windowType() == Qt::Dialog));
    Active = active;
    CheckToggleHook();
}

void TFormPlacement::MinMaxInfoModified() {
    AdjustMaximizedPosition();
    CheckToggleHook();
}

void TFormPlacement::CheckToggleHook() {
    if ((minMaxInfo_.IsSet() || preventResize_) && form_) {
        if (!haveDesignLimits_) {
            designMin_ = form_->minimumSize();
            designMax_ = form_->maximumSize();
            haveDesignLimits_ = true;
        }
        winHook_->SetWinControl(form_);
    } else {
        winHook_->SetWinControl(nullptr);
    }
    UpdateSizeLimits();
}

void TFormPlacement::UpdateSizeLimits() {
    if (!form_ || !haveDesignLimits_) return;
    // A window recreated a moment ago is asked at once, not after its hook
    // has come back through the message queue.
    if (TControlHook* hook = THookList::Instance().Find(form_); hook && hook->HookCount() > 0)
        hook->HookWndProc();
    TGetMinMaxInfoEvent ask(
        TMinMaxRecord{QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX), QPoint(-1, -1), designMin_, designMax_});
    QApplication::sendEvent(form_, &ask);
    form_->setMinimumSize(ask.Record.MinTrackSize);
    form_->setMaximumSize(ask.Record.MaxTrackSize);
    const TWinMinMaxInfo& m = minMaxInfo_;
    maximized_ = {m.MaxPosLeft() != 0,    m.MaxPosTop() != 0,     m.MaxSizeWidth() != 0,
                  m.MaxSizeHeight() != 0, ask.Record.MaxPosition, ask.Record.MaxSize};
    if (!winHook_->WinControl()) haveDesignLimits_ = false;
    ApplyMaximizedPlacement();
}

void TFormPlacement::ApplyMaximizedPlacement() {
    const TMaximizedPlacement& p = maximized_;
    if (!form_ || !form_->isMaximized() || !(p.left || p.top || p.width || p.height)) return;
    // The limits are the outer window's, frame included, as the window
    // system gives a maximised window's rectangle; the toolkit places the
    // frame and sizes the inside.
    const QRect frame = form_->frameGeometry();
    const QSize border = frame.size() - form_->size();
    const QPoint at(p.left ? p.position.x() : frame.x(), p.top ? p.position.y() : frame.y());
    const QSize outer(p.width ? p.size.width() : frame.width(), p.height ? p.size.height() : frame.height());
    if (at != frame.topLeft()) form_->move(at);
    if (outer != frame.size()) form_->resize(outer - border);
}

void TFormPlacement::PlacementMessageFilter(TMessage& msg) {
    if (msg.Msg == QEvent::WindowStateChange) {
        // Once the window system has made the window maximised, it gets the
        // maximised rectangle the limits ask for.
        QPointer<TFormPlacement> self(this);
        QMetaObject::invokeMethod(
            this,
            [self] {
                if (self) self->ApplyMaximizedPlacement();
            },
            Qt::QueuedConnection);
        return;
    }
    if (msg.Msg != TGetMinMaxInfoEvent::EventType()) return;
    TMinMaxRecord& r = static_cast<TGetMinMaxInfoEvent*>(msg.Event)->Record;
    if (preventResize_) {
        if (form_ && form_->isVisible()) {
            r.MinTrackSize = r.MaxTrackSize = form_->size();
            msg.Result = 1;
        }
        return;
    }
    if (minMaxInfo_.IsSet()) {
        const TWinMinMaxInfo& m = minMaxInfo_;
        if (m.MinTrackWidth()) r.MinTrackSize.setWidth(m.MinTrackWidth());
        if (m.MinTrackHeight()) r.MinTrackSize.setHeight(m.MinTrackHeight());
        if (m.MaxTrackWidth()) r.MaxTrackSize.setWidth(m.MaxTrackWidth());
        if (m.MaxTrackHeight()) r.MaxTrackSize.setHeight(m.MaxTrackHeight());
        if (m.MaxSizeWidth()) r.MaxSize.setWidth(m.MaxSizeWidth());
        if (m.MaxSizeHeight()) r.MaxSize.setHeight(m.MaxSizeHeight());
        if (m.MaxPosLeft()) r.MaxPosition.setX(m.MaxPosLeft());
        if (m.MaxPosTop()) r.MaxPosition.setY(m.MaxPosTop());
    } else {
        r.MaxPosition = QPoint(0, 0);
    }
    msg.Result = 1;
}

}  // namespace desktop
