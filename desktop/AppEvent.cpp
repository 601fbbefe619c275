#include "desktop/AppEvent.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QTimer>
#include <QToolTip>
#include <QWidget>
#include <QWindowStateChangeEvent>
#include <memory>

#include "desktop/ALed.h"
#include "desktop/AppUtils.h"

namespace desktop {

namespace {

// The desktop's background, the system colour a minimised window's icon
// area is erased with.
constexpr TColor clBackground = 0x80000001;

// The toolkit's events and settings, and the application's failure handler.
TToolkitApplication& App() {
    return ToolkitApplication();
}
platform::TApplication& PApp() {
    return platform::Application();
}

// Runs a handler call from Qt's side, where nothing may escape: a failure
// goes to the application's exception handler, as from any handler slot.
template <typename Fn>
void Deliver(Fn fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        try {
            PApp().HandleException(e);
        } catch (const std::exception& again) {
            PApp().ShowException(again);
        }
    }
}

// Turns what Qt reports into calls of the application's handler slots.
class ApplicationEventSource : public QObject {
public:
    explicit ApplicationEventSource(QObject* parent) : QObject(parent) {
        auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
        if (app)
            QObject::connect(app, &QApplication::focusChanged, this,
                             [this](QWidget* old, QWidget* now) { FocusChanged(old, now); });
        if (auto* dispatcher = QAbstractEventDispatcher::instance(thread()))
            QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] { Idle(); });
    }

    bool eventFilter(QObject* obj, QEvent* e) override {
        switch (e->type()) {
            case QEvent::Show: NoteMainForm(obj); break;
            case QEvent::WindowStateChange: StateChanged(obj, e); break;
            case QEvent::ApplicationStateChange: ActiveChanged(obj, e); break;
            case QEvent::Enter: HintChanged(obj); break;
            case QEvent::ToolTip: return ShowHint(obj, e);
            case QEvent::ApplicationFontChange:
            case QEvent::ApplicationPaletteChange:
                if (obj == QCoreApplication::instance()) return ToMainWindowFilters(e);
                break;
            case QEvent::ThemeChange:
            case QEvent::Paint:
                if (obj == MainForm()) return ToMainWindowFilters(e);
                break;
            default: break;
        }
        if (!e->spontaneous()) return false;
        bool handled = false;
        if (App().OnMessage) {
            TAppMessage msg{obj, static_cast<std::uint32_t>(e->type()), e};
            Deliver([&] { App().OnMessage(msg, handled); });
            if (handled) return true;
        }
        if (e->type() == QEvent::KeyPress && App().OnShortCut) {
            auto* key = static_cast<QKeyEvent*>(e);
            TAppShortCut sc{key->key(), static_cast<std::uint32_t>(key->modifiers().toInt())};
            Deliver([&] { App().OnShortCut(sc, handled); });
        }
        return handled;
    }

private:
    static void NoteMainForm(QObject* obj) {
        if (MainForm() || !obj->isWidgetType()) return;
        auto* w = static_cast<QWidget*>(obj);
        if (w->isWindow() && w->windowType() == Qt::Window) SetMainForm(w);
    }

    static void StateChanged(QObject* obj, QEvent* e) {
        if (obj != MainForm()) return;
        const bool was = static_cast<QWindowStateChangeEvent*>(e)->oldState() & Qt::WindowMinimized;
        const bool now = static_cast<QWidget*>(obj)->windowState() & Qt::WindowMinimized;
        if (!was && now && App().OnMinimize) Deliver([] { App().OnMinimize(&App()); });
        if (was && !now && App().OnRestore) Deliver([] { App().OnRestore(&App()); });
    }

    void ActiveChanged(QObject* obj, QEvent* e) {
        if (obj != QCoreApplication::instance()) return;
        const bool active =
            static_cast<QApplicationStateChangeEvent*>(e)->applicationState() == Qt::ApplicationActive;
        if (active == active_) return;
        active_ = active;
        if (active && App().OnActivate) Deliver([] { App().OnActivate(&App()); });
        if (!active && App().OnDeactivate) Deliver([] { App().OnDeactivate(&App()); });
    }

    void Idle() {
        if (!App().OnIdle) return;
        bool done = true;
        Deliver([&] { App().OnIdle(&App(), done); });
        // A handler that is not done is called again as soon as the loop
        // has looked for input, without sleeping: it asked for that.
        if (!done) QTimer::singleShot(0, this, [] {});
    }

    static void HintChanged(QObject* obj) {
        if (!obj->isWidgetType()) return;
        auto* w = static_cast<QWidget*>(obj);
        const QString text = w->statusTip().isEmpty() ? w->toolTip() : w->statusTip();
        const std::string hint = text.toStdString();
        if (hint == App().Hint) return;
        App().Hint = hint;
        if (App().OnHint) Deliver([] { App().OnHint(&App()); });
    }

    static bool ShowHint(QObject* obj, QEvent* e) {
        if (!obj->isWidgetType()) return false;
        if (!App().ShowHint) return true;
        if (!App().OnShowHint) return false;
        auto* w = static_cast<QWidget*>(obj);
        auto* help = static_cast<QHelpEvent*>(e);
        const std::string before = w->toolTip().toStdString();
        std::string hint = before;
        bool canShow = true;
        THintInfo info{w, help->globalPos().x(), help->globalPos().y(),
                       0, App().HintColor,       App().HintHidePause};
        bool called = false;
        Deliver([&] {
            App().OnShowHint(hint, canShow, info);
            called = true;
        });
        if (!called) return false;
        if (!canShow) {
            QToolTip::hideText();
            return true;
        }
        if (hint == before && info.HideTimeout == App().HintHidePause) return false;
        QToolTip::showText(help->globalPos(), QString::fromStdString(hint), w, QRect(), info.HideTimeout);
        return true;
    }

    // The main window's filter chain: every instance's MainWindowFilter.
    static bool ToMainWindowFilters(QEvent* e) { return TAppEventList::Instance().MainWindowFilters(e); }

    static void FocusChanged(QWidget* old, QWidget* now) {
        if (App().Screen.OnActiveControlChange) Deliver([] { App().Screen.OnActiveControlChange(&App()); });
        const QWidget* oldWindow = old ? old->window() : nullptr;
        const QWidget* newWindow = now ? now->window() : nullptr;
        if (oldWindow != newWindow && App().Screen.OnActiveFormChange)
            Deliver([] { App().Screen.OnActiveFormChange(&App()); });
    }

    bool active_ = false;
};

}  // namespace

// ---- TAppEvents ----

TAppEvents::TAppEvents(QObject* owner) : QObject(owner) {
    TAppEventList::Instance().AddEventsInstance(this);
    ApplyApplicationProperties();
}

TAppEvents::~TAppEvents() {
    TAppEventList::Instance().RemoveEventsInstance(this);
}

void TAppEvents::ApplyApplicationProperties() {
    SetHintColor(hintColor_);
    SetHintPause(hintPause_);
    SetShowHint(showHint_);
    SetUpdateFormatSettings(updateFormatSettings_);
    SetHintShortPause(hintShortPause_);
    SetHintHidePause(hintHidePause_);
    SetShowMainForm(showMainForm_);
    SetUpdateMetricSettings(updateMetricSettings_);
    SetHintShortCuts(hintShortCuts_);
    SetBiDiMode(biDiMode_);
    SetMouseDragImmediate(mouseDragImmediate_);
    SetMouseDragThreshold(mouseDragThreshold_);
}

std::uint32_t TAppEvents::HintColor() const {
    return App().HintColor;
}
void TAppEvents::SetHintColor(std::uint32_t v) {
    hintColor_ = App().HintColor = v;
    if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
        QPalette pal = QToolTip::palette();
        pal.setColor(QPalette::ToolTipBase, ColorToQColor(v));
        QToolTip::setPalette(pal);
    }
}
int TAppEvents::HintPause() const {
    return App().HintPause;
}
void TAppEvents::SetHintPause(int v) {
    hintPause_ = App().HintPause = v;
}
bool TAppEvents::ShowHint() const {
    return App().ShowHint;
}
void TAppEvents::SetShowHint(bool v) {
    showHint_ = App().ShowHint = v;
}
bool TAppEvents::UpdateFormatSettings() const {
    return App().UpdateFormatSettings;
}
void TAppEvents::SetUpdateFormatSettings(bool v) {
    updateFormatSettings_ = App().UpdateFormatSettings = v;
}
int TAppEvents::HintShortPause() const {
    return App().HintShortPause;
}
void TAppEvents::SetHintShortPause(int v) {
    hintShortPause_ = App().HintShortPause = v;
}
int TAppEvents::HintHidePause() const {
    return App().HintHidePause;
}
void TAppEvents::SetHintHidePause(int v) {
    hintHidePause_ = App().HintHidePause = v;
}
bool TAppEvents::ShowMainForm() const {
    return App().ShowMainForm;
}
void TAppEvents::SetShowMainForm(bool v) {
    showMainForm_ = App().ShowMainForm = v;
}
bool TAppEvents::UpdateMetricSettings() const {
    return App().UpdateMetricSettings;
}
void TAppEvents::SetUpdateMetricSettings(bool v) {
    updateMetricSettings_ = App().UpdateMetricSettings = v;
}
bool TAppEvents::HintShortCuts() const {
    return App().HintShortCuts;
}
void TAppEvents::SetHintShortCuts(bool v) {
    hintShortCuts_ = App().HintShortCuts = v;
}
TBiDiMode TAppEvents::BiDiMode() const {
    return App().BiDiMode;
}
void TAppEvents::SetBiDiMode(TBiDiMode v) {
    biDiMode_ = App().BiDiMode = v;
    if (QCoreApplication::instance())
        QGuiApplication::setLayoutDirection(v == bdLeftToRight ? Qt::LeftToRight : Qt::RightToLeft);
}
bool TAppEvents::MouseDragImmediate() const {
    return App().Mouse.DragImmediate;
}
void TAppEvents::SetMouseDragImmediate(bool v) {
    mouseDragImmediate_ = App().Mouse.DragImmediate = v;
}
int TAppEvents::MouseDragThreshold() const {
    return App().Mouse.DragThreshold;
}
void TAppEvents::SetMouseDragThreshold(int v) {
    mouseDragThreshold_ = App().Mouse.DragThreshold = v;
    if (qobject_cast<QApplication*>(QCoreApplication::instance())) QApplication::setStartDragDistance(v);
}

bool TAppEvents::MainWindowFilter(QEvent* event) {
    switch (event->type()) {
        case QEvent::Paint:
            if (!OnPaintIcon || !IsApplicationMinimized()) return false;
            paintEvent_ = static_cast<QPaintEvent*>(event);
            PaintMinimizedIcon();
            paintEvent_ = nullptr;
            return true;
        case QEvent::ApplicationFontChange:
        case QEvent::ApplicationPaletteChange:
        case QEvent::ThemeChange: try { SettingsChangedNotify();
            } catch (const std::exception& e) {
                PApp().HandleException(e);
            }
            return false;
        default: return false;
    }
}

void TAppEvents::PaintMinimizedIcon() {
    // The handler paints on Canvas(); a paint event asks for its whole
    // region, so the region is first given the desktop's background. Qt
    // refuses a painter outside its own painting, and then only the event
    // is fired.
    QWidget* form = MainForm();
    std::unique_ptr<QPainter> canvas;
    if (form && paintEvent_ && form->testAttribute(Qt::WA_WState_InPaintEvent)) {
        canvas = std::make_unique<QPainter>(form);
        canvas->fillRect(paintEvent_->rect(), ColorToQColor(clBackground));
    }
    canvas_ = canvas.get();
    struct Release {
        QPainter*& canvas;
        ~Release() { canvas = nullptr; }
    } release{canvas_};
    base::Fire(OnPaintIcon, this);
}

void TAppEvents::SettingsChangedNotify() {
    base::Fire(OnSettingsChanged, this);
}

// ---- TAppEventList ----

TAppEventList& TAppEventList::Instance() {
    static std::unique_ptr<TAppEventList> list(new TAppEventList);
    return *list;
}

TAppEventList::TAppEventList() {
    WatchApplication();
}

// The filter that turns Qt's reports into application events; put on the
// application as soon as there is one.
void TAppEventList::WatchApplication() {
    QCoreApplication* app = QCoreApplication::instance();
    if (source_ || !app) return;
    auto* source = new ApplicationEventSource(app);
    app->installEventFilter(source);
    source_ = source;
}

TAppEventList::~TAppEventList() {
    delete source_.data();
}

void TAppEventList::AddEventsInstance(TAppEvents* instance) {
    WatchApplication();
    for (const auto& p : list_)
        if (p == instance) return;
    list_.emplace_back(instance);
    if (list_.size() == 1) InstallRelays();
}

void TAppEventList::RemoveEventsInstance(TAppEvents* instance) {
    // The pointer of an instance being destroyed may already read null.
    std::erase_if(list_, [instance](const QPointer<TAppEvents>& p) { return !p || p == instance; });
    if (list_.empty() && installed_) ClearApplicationHandlers();
}

void TAppEventList::InstallRelays() {
    auto& app = App();
    saved_ = Saved{app.OnActionExecute,
                   app.OnActionUpdate,
                   app.OnShortCut,
                   app.OnActivate,
                   app.OnDeactivate,
                   PApp().OnException,
                   app.OnIdle,
                   app.OnHelp,
                   app.OnHint,
                   app.OnMessage,
                   app.OnMinimize,
                   app.OnRestore,
                   app.OnShowHint,
                   app.Screen.OnActiveControlChange,
                   app.Screen.OnActiveFormChange};
    app.OnActionExecute = [this](base::TObject* a, bool& h) { DoActionExecute(a, h); };
    app.OnActionUpdate = [this](base::TObject* a, bool& h) { DoActionUpdate(a, h); };
    app.OnShortCut = [this](TAppShortCut& k, bool& h) { DoShortCut(k, h); };
    app.OnActivate = [this](base::TObject* s) { DoActivate(s); };
    app.OnDeactivate = [this](base::TObject* s) { DoDeactivate(s); };
    PApp().OnException = [this](base::TObject* s, const std::exception& e) { DoException(s, e); };
    app.OnIdle = [this](base::TObject* s, bool& d) { DoIdle(s, d); };
    app.OnHelp = [this](std::uint16_t c, std::intptr_t d, bool& ch) { return DoHelp(c, d, ch); };
    app.OnHint = [this](base::TObject* s) { DoHint(s); };
    app.OnMessage = [this](TAppMessage& m, bool& h) { DoMessage(m, h); };
    app.OnMinimize = [this](base::TObject* s) { DoMinimize(s); };
    app.OnRestore = [this](base::TObject* s) { DoRestore(s); };
    app.OnShowHint = [this](std::string& s, bool& c, THintInfo& i) { DoShowHint(s, c, i); };
    app.Screen.OnActiveControlChange = [this](base::TObject* s) { DoActiveControlChange(s); };
    app.Screen.OnActiveFormChange = [this](base::TObject* s) { DoActiveFormChange(s); };
    installed_ = true;
}

void TAppEventList::ClearApplicationHandlers() {
    auto& app = App();
    app.OnActionExecute = nullptr;
    app.OnActionUpdate = nullptr;
    app.OnShortCut = nullptr;
    app.OnActivate = nullptr;
    app.OnDeactivate = nullptr;
    PApp().OnException = nullptr;
    app.OnIdle = nullptr;
    app.OnHelp = nullptr;
    app.OnHint = nullptr;
    app.OnMessage = nullptr;
    app.OnMinimize = nullptr;
    app.OnRestore = nullptr;
    app.OnShowHint = nullptr;
    app.Screen.OnActiveControlChange = nullptr;
    app.Screen.OnActiveFormChange = nullptr;
    installed_ = false;
}

template <typename Visit>
bool TAppEventList::Walk(Visit visit, const bool* handled) {
    // A snapshot, newest first: a handler may add or destroy instances.
    const std::vector<QPointer<TAppEvents>> snapshot(list_.rbegin(), list_.rend());
    for (const QPointer<TAppEvents>& p : snapshot) {
        if (!p) continue;
        visit(*p);
        if (p && !p->Chained()) return false;
        if (handled && *handled) return false;
    }
    return true;
}

void TAppEventList::DoActionExecute(base::TObject* action, bool& handled) {
    if (Walk([&](TAppEvents& i) { base::Fire(i.OnActionExecute, action, handled); }, &handled))
        base::Fire(saved_.ActionExecute, action, handled);
}

void TAppEventList::DoActionUpdate(base::TObject* action, bool& handled) {
    if (Walk([&](TAppEvents& i) { base::Fire(i.OnActionUpdate, action, handled); }, &handled))
        base::Fire(saved_.ActionUpdate, action, handled);
}

void TAppEventList::DoShortCut(TAppShortCut& key, bool& handled) {
    if (Walk([&](TAppEvents& i) { base::Fire(i.OnShortCut, key, handled); }, &handled))
        base::Fire(saved_.ShortCut, key, handled);
}

void TAppEventList::DoActivate(base::TObject* sender) {
    if (Walk([&](TAppEvents& i) { base::Fire(i.OnActivate, sender); })) base::Fire(saved_.Activate, sender);
}

void TAppEventList::DoDeactivate(base::TObject* sender) {
    if (Walk([&](TAppEvents& i) { base::Fire(i.OnDeactivate, sender); }))
        base::Fire(saved_.Deactivate, sender);
}

void TAppEventList::DoException(base::TObject* sender, const std::exception& e) {
    int called = 0;
    const bool passed = Walk([&](TAppEvents& i) {
        if (!i.OnException) return;
        ++called;
        i.OnException(sender, e);
    });
    if (passed && saved_.Exception) {
        ++called;
        saved_.Exception(sender, e);
    }
    if (called == 0) PApp().ShowException(e);
}

void TAppEventList::DoIdle(base::TObject* sender, bool& done) {
    if (Walk([&](TAppEvents& i) { base::Fire(i.OnIdle, sender, done); }))
        base::Fire(saved_.Idle, sender, done);
}

bool TAppEventList::DoHelp(std::uint16_t command, std::intptr_t data, bool& callHelp) {
    bool result = false;
    const bool passed = Walk([&](TAppEvents& i) {
        if (i.OnHelp) result = i.OnHelp(command, data, callHelp);
    });
    if (passed && saved_.Help) result = saved_.Help(command, data, callHelp);
    return result;
}

void TAppEventList::DoHint(base::TObject* sender) {
    if (Walk([&](TAppEvents& i) { base::Fire(i.OnHint, sender); })) base::Fire(saved_.Hint, sender);
}

void TAppEventList::DoMessage(TAppMessage& msg, bool& handled) {
    if (Walk([&](TAppEvents& i) { base::Fire(i.OnMessage, msg, handled); }, &handled))
        base::Fire(saved_.Message, msg, handled);
}

void TAppEventList::DoMinimize(base::TObject* sender) {
    if (Walk([&](TAppEvents& i) { base::Fire(i.OnMinimize, sender); })) base::Fire(saved_.Minimize, sender);
}

void TAppEventList::DoRestore(base::TObject* sender) {
    if (Walk([&](TAppEvents& i) { base::Fire(i.OnRestore, sender); })) base::Fire(saved_.Restore, sender);
}

void TAppEventList::DoShowHint(std::string& hintStr, bool& canShow, THintInfo& info) {
    if (Walk([&](TAppEvents& i) { base::Fire(i.OnShowHint, hintStr, canShow, info); }))
        base::Fire(saved_.ShowHint, hintStr, canShow, info);
}

void TAppEventList::DoActiveControlChange(base::TObject* sender) {
    if (Walk([&](TAppEvents& i) { base::Fire(i.OnActiveControlChange, sender); }))
        base::Fire(saved_.ActiveControlChange, sender);
}

void TAppEventList::DoActiveFormChange(base::TObject* sender) {
    if (Walk([&](TAppEvents& i) { base::Fire(i.OnActiveFormChange, sender); }))
        base::Fire(saved_.ActiveFormChange, sender);
}

bool TAppEventList::MainWindowFilters(QEvent* event) {
    const std::vector<QPointer<TAppEvents>> snapshot(list_.rbegin(), list_.rend());
    // The chain ends at the first filter that handles the message.
    for (const QPointer<TAppEvents>& p : snapshot)
        if (p && p->MainWindowFilter(event)) return true;
    return false;
}

void RestoreApplication() {
    QWidget* form = MainForm();
    if (!form) return;
    form->showNormal();
    form->raise();
    form->activateWindow();
}

void MinimizeApplication() {
    if (QWidget* form = MainForm()) form->showMinimized();
}

}  // namespace desktop
