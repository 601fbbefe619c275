// The publisher: the exposition text of every pass served on the listener
// and written to the metrics file, and the status page's figures.
#include <memory>

#include "app/serve/Metrics.h"
#include "app/serve/MetricsServer.h"
#include "app/serve/ProbeHandler.h"
#include "app/serve/StatusRoutes.h"
#include "base/Exception.h"
#include "base/SafeFile.h"

namespace app {

TMetricsPublisher::TMetricsPublisher(TMetricsOptions options) : options_(std::move(options)) {}

TMetricsPublisher::~TMetricsPublisher() = default;

namespace {
// Written whole and renamed into place; a device, a folder or a link
// another user planted at the name is refused with the reason.
void WriteWhole(const std::string& path, const std::string& text) {
    const std::string why = base::WriteFileWhole(path, text);
    if (!why.empty()) throw base::Exception("Unable to write to " + path + ": " + why);
}
}  // namespace

void TMetricsPublisher::Start() {
    const std::string text = MetricsText(nullptr) + (Extra ? Extra() : "");
    if (!options_.Listen.empty()) {
        auto server = std::make_unique<TMetricsServer>();
        server->Listen(options_.Listen);
        server->SetText(text);
        server_ = std::move(server);
        status_ = std::make_unique<TStatusRoutes>(*server_);
        if (options_.ProbeClients)
            probes_ =
                std::make_unique<TProbeHandler>(*server_, options_.ProbeClients, options_.ProbeConcurrency);
    }
    if (!options_.File.empty()) WriteWhole(options_.File, text);
}

void TMetricsPublisher::Publish(const TPassOutcome& pass) {
    const std::string text = MetricsText(&pass) + (Extra ? Extra() : "");
    if (server_) server_->SetText(text);
    if (status_) status_->Update(pass, History);
    if (!options_.File.empty()) WriteWhole(options_.File, text);
}

}  // namespace app
