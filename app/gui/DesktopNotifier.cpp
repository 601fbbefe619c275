#include "app/gui/DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

namespace app {

namespace {
const char* const kService = "org.freedesktop.Notifications";
const char* const kPath = "/org/freedesktop/Notifications";
const char* const kInterface = "org.freedesktop.Notifications";
// How long a service may take to answer before the balloon shows instead.
constexpr int kAnswerMs = 5000;
}  // namespace

TDesktopNotifier::TDesktopNotifier(QObject* parent) : QObject(parent) {}

void TDesktopNotifier::Notify(const QString& summary, const QString& body, bool critical,
                              std::function<void()> fallback) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        if (fallback) fallback();
        return;
    }
    // The one before has not been answered yet, so its id is not known: this
    // one waits for it (replacing any other waiting one), and then replaces it.
    if (pending_ > 0) {
        waiting_ = Request{summary, body, critical, std::move(fallback)};
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
    QVariantMap hints;
    hints["urgency"] = QVariant::fromValue<uchar>(critical ? kCritical : kNormal);
    // Services may read the body as markup: a host's query string or a
    // reason with "<" shows as it is.
    QString text = body;
    text.replace('&', "&amp;").replace('<', "&lt;").replace('>', "&gt;");
    // The red LED says hosts are down at a glance; the green one, up again.
    const QString icon = critical ? "sentrel-down" : "sentrel";
    call << QString("Sentrel") << static_cast<uint>(lastId_) << icon << summary << text << QStringList()
         << hints << -1;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kAnswerMs), this);
    ++pending_;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, fallback = std::move(fallback)](QDBusPendingCallWatcher* w) {
                QDBusPendingReply<uint> reply = *w;
                w->deleteLater();
                --pending_;
                if (reply.isError()) {
                    if (fallback) fallback();
                } else {
                    lastId_ = reply.value();
                }
                if (!waiting_) return;
                Request next = std::move(*waiting_);
                waiting_.reset();
                Notify(next.summary, next.body, next.critical, std::move(next.fallback));
            });
}

}  // namespace app
