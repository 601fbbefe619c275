// Changes of the pool's state as desktop notifications: a call of
// org.freedesktop.Notifications.Notify on the session bus, with the app name
// "Sentrel", the program's icon (its red LED, "sentrel-down", for hosts down,
// the green one otherwise), urgency critical for hosts down and normal
// otherwise, each one replacing the run's previous notification instead of
// stacking beside it.
//
// The call is asynchronous, so a slow or missing service never holds the
// window. Where no service answers (no session bus, nobody owns the name, an
// error reply) the fallback runs instead: the window shows the message as
// the tray icon's balloon. Without a bus at all the fallback runs at once.
// GUI thread only.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

namespace app {

class TDesktopNotifier : public QObject {
public:
    static constexpr std::uint8_t kNormal = 1;
    static constexpr std::uint8_t kCritical = 2;

    explicit TDesktopNotifier(QObject* parent = nullptr);

    void Notify(const QString& summary, const QString& body, bool critical, std::function<void()> fallback);
    // The service's id of the last notification shown; 0 before the first.
    std::uint32_t LastId() const { return lastId_; }
    // Whether a call is still unanswered or a notification waits for it.
    int Pending() const { return pending_ + (waiting_ ? 1 : 0); }

private:
    struct Request {
        QString summary, body;
        bool critical = false;
        std::function<void()> fallback;
    };
    std::uint32_t lastId_ = 0;
    int pending_ = 0;
    std::optional<Request> waiting_;  // sent once the pending call is answered
};

}  // namespace app
