#include "convert/partfile.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
char partPath[4096];
struct sigaction previous[sizeof kSignals / sizeof kSignals[0]];

void OnSignal(int sig) {
    if (partPath[0]) unlink(partPath);
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

RemoveOnSignal::RemoveOnSignal(const QString& path) {
    const QByteArray bytes = path.toUtf8();  // as the converter names its files
    if (bytes.isEmpty() || size_t(bytes.size()) >= sizeof partPath) return;
    memcpy(partPath, bytes.constData(), size_t(bytes.size()) + 1);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i)
        sigaction(kSignals[i], &sa, &previous[i]);
    armed = true;
}

RemoveOnSignal::~RemoveOnSignal() {
    if (!armed) return;
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i)
        sigaction(kSignals[i], &previous[i], nullptr);
    partPath[0] = 0;
}
