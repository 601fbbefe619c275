// TFormPlacement remembers where its window was. Dropped on a window (its
// owner), it reads the window's last placement from a settings section when
// the window is shown and applies it, and writes the current placement back
// when the window is closed or destroyed, at most once per restore. The
// section holds, in this order: FormVersion, Flags, ShowCmd, PixelsPerInch,
// MinMaxPos and NormPos, each of the two tagged with the screen resolution
// and then untagged, ActiveControl (optional) and Visible (0 when saved on
// close, 1 when saved on destroy). A stored position is used only when the
// screen's pixels per inch are those it was saved with.
//
// It can also limit the window's size (MinMaxInfo) or forbid resizing and
// maximising (PreventResize) through a window hook (RxHook.h) whose
// after-handler, PlacementMessageFilter, fills in the window's size limits
// when they are asked for (TGetMinMaxInfoEvent, sent to the window when the
// limits change and when it is shown). The toolkit lets the window manager
// do hit-testing and the system menu, so a fixed size and the missing
// maximise button are what forbid resizing here. MinMaxInfo's MaxPos and
// MaxSize are the outer rectangle of the maximised window: when the window
// becomes maximised (or is, when they change) it is moved and sized to them.
//
// The window's show and close events are taken through a hook of its own
// (before the window's own show handling, after its close handling); its
// destruction through its destroyed() signal, which Qt sends while the
// widget part is whole, so the component must be the window's child (made
// with the window as owner), as every component of a window is.
//
// Its properties take effect as they are set (a window here is built by
// code, with no loading phase), so PreventResize set after construction is
// what PreventResize read at load was.
//
// The settings file is opened for one save or restore and closed after it;
// writes go to the file when it is closed, whole and atomically, and
// OnSavePlacement fires after that; a save that could not be written does
// not count as one, so the window's destruction tries again. A failure on
// the window's own paths goes to the application's exception handler and
// the window is shown, closed or destroyed all the same. GUI thread only.
#pragma once

#include <QEvent>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QSize>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/Events.h"
#include "desktop/RxHook.h"

class QWidget;

namespace platform {
class TIniFile;
}

class QTimer;

namespace desktop {

class TFormPlacement;

enum TPlacementOption { fpState, fpPosition, fpActiveControl };
using TPlacementOptions = std::set<TPlacementOption>;
enum TPlacementRegRoot { prCurrentUser, prLocalMachine, prCurrentConfig, prClassesRoot, prUsers, prDynData };

// The size limits a window asks for: a record with the toolkit's values
// that the window's hooks may change before they are applied.
struct TMinMaxRecord {
    QSize MaxSize;
    QPoint MaxPosition;
    QSize MinTrackSize;
    QSize MaxTrackSize;
};
class TGetMinMaxInfoEvent : public QEvent {
public:
    static QEvent::Type EventType();
    explicit TGetMinMaxInfoEvent(const TMinMaxRecord& record) : QEvent(EventType()), Record(record) {}
    TMinMaxRecord Record;
};

// Tracking and maximise limits; 0 means not set.
class TWinMinMaxInfo : public base::TObject {
public:
    explicit TWinMinMaxInfo(TFormPlacement* owner) : owner_(owner) {}

    int MaxPosLeft() const { return v_[0]; }
    int MaxPosTop() const { return v_[1]; }
    int MaxSizeHeight() const { return v_[2]; }
    int MaxSizeWidth() const { return v_[3]; }
    int MaxTrackHeight() const { return v_[4]; }
    int MaxTrackWidth() const { return v_[5]; }
    int MinTrackHeight() const { return v_[6]; }
    int MinTrackWidth() const { return v_[7]; }
    void SetMaxPosLeft(int v) { Set(0, v); }
    void SetMaxPosTop(int v) { Set(1, v); }
    void SetMaxSizeHeight(int v) { Set(2, v); }
    void SetMaxSizeWidth(int v) { Set(3, v); }
    void SetMaxTrackHeight(int v) { Set(4, v); }
    void SetMaxTrackWidth(int v) { Set(5, v); }
    void SetMinTrackHeight(int v) { Set(6, v); }
    void SetMinTrackWidth(int v) { Set(7, v); }

    void Assign(const TWinMinMaxInfo& other);
    // Any of the eight is set.
    bool IsSet() const;

private:
    void Set(int index, int v);
    TFormPlacement* owner_ = nullptr;
    int v_[8] = {};
};

// A component that keeps values of its own in the same section, after the
// placement.
class TLinkedStorage {
public:
    virtual ~TLinkedStorage() = default;
    virtual void SaveProperties() = 0;
    virtual void LoadProperties() = 0;
};

class TFormPlacement : public QObject, public base::TObject {
public:
    explicit TFormPlacement(QObject* owner = nullptr);
    ~TFormPlacement() override;

    bool Active = true;
    std::string IniFileName = "";
    std::string IniSection = "";
    TWinMinMaxInfo& MinMaxInfo() { return minMaxInfo_; }
    TPlacementOptions Options;
    bool PreventResize() const { return preventResize_; }
    void SetPreventResize(bool v);
    TPlacementRegRoot RegistryRoot = prCurrentUser;
    bool UseRegistry = false;
    std::int32_t Version = 0;

    base::TNotifyEvent OnSavePlacement;
    base::TNotifyEvent OnRestorePlacement;

    // Writes the window's placement (only after a restore, or when not
    // Active). Raises "Unable to write to <file>" when the file cannot be
    // written.
    void PersistPlacement();
    void RecallPlacement();

    virtual void SaveSectionKeys();
    virtual void LoadSectionKeys();
    virtual std::string ReadSectionString(const std::string& section, const std::string& key,
                                          const std::string& def);
    virtual void WriteSectionString(const std::string& section, const std::string& key,
                                    const std::string& value);
    std::int32_t ReadInteger(const std::string& key, std::int32_t def);
    void WriteInteger(const std::string& key, std::int32_t value);

    // The names in use: IniFileName or the default, IniSection or the
    // owner's class name.
    std::string SettingsFileName() const;
    std::string SectionName() const;
    std::string DefaultSectionName() const { return defaultSection_; }

    void AddLinkedStorage(TLinkedStorage* storage);
    void RemoveLinkedStorage(TLinkedStorage* storage);

    void AdjustMaximizedPosition();
    // Sends the window the question of its size limits and applies the
    // answer.
    void UpdateSizeLimits();
    // Gives a maximised window the position and size MinMaxInfo asks for.
    void ApplyMaximizedPlacement();
    TRxWindowHook* WinHook() const { return winHook_; }
    QWidget* Form() const { return form_; }

private:
    friend class TWinMinMaxInfo;
    class OpenedIni;

    void FormShow();
    void FormCloseQuery(bool canClose);
    void FormDestroy();
    void WritePlacementKeys();
    void ReadPlacementKeys(bool position, bool state);
    void WriteResolutionKey(const std::string& key, const std::string& value);
    std::string ReadResolutionKey(const std::string& key);
    void CheckToggleHook();
    void MinMaxInfoModified();
    void PlacementMessageFilter(TMessage& msg);
    bool IsSizeable() const;
    // Fits the restored window on the screen again, by its frame, once the
    // window manager has framed it (the frame is not known before).
    void FitFrameOnceKnown();
    void FitFrameTick();

    QPointer<QWidget> form_;
    std::string defaultSection_ = "";
    TWinMinMaxInfo minMaxInfo_{this};
    bool preventResize_ = false;
    bool saved_ = false;
    bool restored_ = false;
    bool destroying_ = false;
    bool winHadMaxButton_ = true;
    // The window's own limits, put back when the hook lets go of it.
    bool haveDesignLimits_ = false;
    // The maximised rectangle MinMaxInfo asks for: which parts are set, and
    // their values as the window's hooks left them.
    struct TMaximizedPlacement {
        bool left = false, top = false, width = false, height = false;
        QPoint position;
        QSize size;
    } maximized_;
    QSize designMin_;
    QSize designMax_;
    TRxWindowHook* handlerHook_ = nullptr;  // show and close of the window
    TRxWindowHook* winHook_ = nullptr;      // the size limits
    QMetaObject::Connection formGone_;
    std::unique_ptr<platform::TIniFile> ini_;
    bool iniChanged_ = false;
    std::vector<TLinkedStorage*> linked_;
    QTimer* frameTimer_ = nullptr;
    int frameTries_ = 0;
};

}  // namespace desktop
