#include "dltlog.h"

#include <QString>

#include <cstring>

#include "dltbackend.h"
#include "mainappmsg.h"

std::atomic<bool> DltLog::s_framesTraced(false);
QtMessageHandler DltLog::s_previous = nullptr;

namespace {

DltBackend::Level levelOf(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return DltBackend::Debug;
    case QtWarningMsg:
        return DltBackend::Warning;
    case QtCriticalMsg:
        return DltBackend::Error;
    case QtFatalMsg:
        return DltBackend::Fatal;
    default:
        return DltBackend::Info;
    }
}

} // namespace

DltLog::DltLog()
{
    DltBackend::open(traceChanged);
    s_previous = qInstallMessageHandler(handleMessage);
}

DltLog::~DltLog()
{
    qInstallMessageHandler(s_previous);
    s_previous = nullptr;
    s_framesTraced.store(false);
    DltBackend::close();
}

void DltLog::linkLine(const char *line, bool perFrame)
{
    DltBackend::log(DltBackend::LinkLog, perFrame ? DltBackend::Debug : DltBackend::Info, line);
}

void DltLog::handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    // Standard error first and exactly as before: the earlier handler formats it.
    s_previous(type, context, message);
    DltBackend::log(DltBackend::DebugLog, levelOf(type), message.toUtf8().constData(), context.file,
                    context.line, context.function);
}

void DltLog::traceChanged(bool on)
{
    // Told again with every level the daemon sets; a recording marks the switch only.
    if (s_framesTraced.exchange(on, std::memory_order_relaxed) != on)
        DltBackend::log(DltBackend::Frames, DltBackend::Info,
                        on ? "MCU frame trace on" : "MCU frame trace off");
}

void DltLog::traceInbound(const unsigned char *frame)
{
    // The dispatcher gets a normal frame in place and every other one as a
    // record cut at its length word, which the reassembler has made sane.
    quint32 type;
    std::memcpy(&type, frame, sizeof type);
    int length = MAIN_APP_NORMAL_MSG_SIZE;
    if (type != MAIN_APP_TYPE_NORMAL) {
        qint32 word;
        std::memcpy(&word, frame + 8, sizeof word);
        length = qBound(int(MCUSRV_TO_MAIN_APP_HEADER_SIZE), int(word),
                        int(MCUSRV_TO_MAIN_APP_SIZE));
    }
    DltBackend::traceFrame(DltBackend::FromMcu, frame, length);
}

void DltLog::traceOutbound(const void *frame, int length)
{
    if (length > 0)
        DltBackend::traceFrame(DltBackend::ToMcu, frame, length);
}
