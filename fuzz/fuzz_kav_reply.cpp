// The engine reply reader fed through a socket pair, with each reply-line callback: every reply
// ends (on its final line, a short line or the end of the stream), and what the callbacks keep
// stays within its fields.
//
// Input: one selector byte (low 3 bits: none, quick, quick buffer, file, process, then info;
// bit 3: onEvent asks to stop), then the bytes the engine daemon sends.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "kav/kav_daemon_iface.h"
#include "kav/kav_object_scanner.h"
#include "kav/kav_process_scanner.h"
#include "kav/kav_scanner.h"

namespace {

constexpr const char *kScannedPath = "/var/spool/mail/in/message 1.eml";

struct EventSink {
    int events = 0;
    bool stop = false;
};

int onEvent(const char *objectName, int32_t /*objectKind*/, int32_t /*event*/,
            const char *infectionName, const char *message, void *userData) {
    auto *sink = static_cast<EventSink *>(userData);
    // Every text handed out must be a C string.
    for (const char *text : {objectName, infectionName, message}) {
        if (text != nullptr) {
            (void)std::strlen(text);
        }
    }
    ++sink->events;
    return sink->stop ? QL_CB_STOP : 0;
}

void quickReply(int sock, bool bufferScan, EventSink &sink) {
    QuickReplyContext context{};
    EventCallback events{};
    events.onEvent = onEvent;
    events.userData = &sink;
    context.events = &events;
    context.bufferScan = bufferScan ? 1 : 0;
    (void)QL_ProcessDaemonReturnMessage(sock, QL_KAVQuickReturnMessage,
                                        const_cast<char *>(kScannedPath), &context);
    QL_FUZZ_CHECK(std::strlen(context.errorText) <= 255);
}

void fileReply(int sock, EventSink &sink) {
    ScanReport report{};
    report.events.onEvent = onEvent;
    report.events.userData = &sink;
    FileReplyContext context{};
    context.report = &report;
    (void)QL_ProcessDaemonReturnMessage(sock, QL_KAVProcessReturnMessage,
                                        const_cast<char *>(kScannedPath), &context);
    QL_FUZZ_CHECK(std::strlen(context.errorText) <= 255);
    QL_FUZZ_CHECK(ql::fuzz::terminatedWithin(context.infectionNames, QL_PATH_MAX));
}

void processReply(int sock) {
    char errorText[QL_PATH_MAX] = {};
    char infection[QL_NAME_MAX] = {};
    (void)QL_ProcessDaemonReturnMessage(sock, QL_KAVMemoryScanMessage, errorText, infection);
    QL_FUZZ_CHECK(ql::fuzz::terminatedWithin(errorText, sizeof errorText));
    QL_FUZZ_CHECK(std::strlen(infection) < QL_NAME_MAX);
}

void infoReply(int sock) {
    DaemonInfo info{};
    (void)QL_ProcessDaemonReturnMessage(sock, QL_daemonInfoCallback, nullptr, &info);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool configured = [] {
        // A reply that never ends must not hold the run for the default two minutes.
        return ::setenv("QL_ENGINE_TIMEOUT_MS", "200", 1) == 0;
    }();
    (void)configured;
    if (size < 1) {
        return 0;
    }
    ql::fuzz::SocketPair pair;
    pair.sendAndClose(data + 1, size - 1);
    EventSink sink;
    sink.stop = (data[0] & 0x08) != 0;
    switch (data[0] & 0x07) {
        case 0:
            (void)QL_ProcessDaemonReturnMessage(pair.local.get(), nullptr, nullptr, nullptr);
            break;
        case 1:
            quickReply(pair.local.get(), false, sink);
            break;
        case 2:
            quickReply(pair.local.get(), true, sink);
            break;
        case 3:
            fileReply(pair.local.get(), sink);
            break;
        case 4:
            processReply(pair.local.get());
            break;
        default:
            infoReply(pair.local.get());
            break;
    }
    return 0;
}
