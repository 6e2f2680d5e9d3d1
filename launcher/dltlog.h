#ifndef DLTLOG_H
#define DLTLOG_H

#include <QtGlobal>

#include <atomic>

// The launcher in the automotive log system, for as long as an instance lives:
// registered as LNCH with the debug log (MAIN), the link's lines (LINK) and the
// MCU frames as network trace (MCUF). Qt's debug log keeps going to the handler
// that was installed before, unchanged.
class DltLog
{
public:
    DltLog();
    ~DltLog();

    // One line of the link's own channel, as printed.
    static void linkLine(const char *line, bool perFrame);

    // The reader's cost while the trace is off: this one check.
    static void traceFromMcu(const unsigned char *frame)
    {
        if (s_framesTraced.load(std::memory_order_relaxed))
            traceInbound(frame);
    }
    static void traceToMcu(const void *frame, int length)
    {
        if (s_framesTraced.load(std::memory_order_relaxed))
            traceOutbound(frame, length);
    }

private:
    Q_DISABLE_COPY(DltLog)

    static void traceInbound(const unsigned char *frame);
    static void traceOutbound(const void *frame, int length);
    static void traceChanged(bool on);
    static void handleMessage(QtMsgType type, const QMessageLogContext &context,
                              const QString &message);

    static std::atomic<bool> s_framesTraced;
    static QtMessageHandler s_previous;
};

#endif
