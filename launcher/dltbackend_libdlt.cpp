#include "dltbackend.h"

#include <dlt.h>

namespace DltBackend {

namespace {

DltContext s_contexts[3];
void (*s_traceChanged)(bool) = nullptr;

// Registered for the frame context alone, so the context's id need not be checked.
void frameLevelChanged(char *, uint8_t, uint8_t traceStatus)
{
    if (s_traceChanged)
        s_traceChanged(traceStatus == DLT_TRACE_STATUS_ON);
}

} // namespace

void open(void (*traceChanged)(bool on))
{
    // The library's own notes (no daemon, messages lost at exit) would land
    // on standard output, which belongs to the link's lines.
    dlt_log_set_level(0);
    // Without a daemon the library would wait at exit for one to take its
    // buffered messages.
    dlt_set_resend_timeout_atexit(0);
    s_traceChanged = traceChanged;
    dlt_register_app("LNCH", "head-unit launcher");
    // The debug log is rare and wanted by default; the link's debug level is
    // its per-frame line, so that context keeps the daemon's default.
    dlt_register_context_ll_ts(&s_contexts[DebugLog], "MAIN", "Qt debug log", DLT_LOG_DEBUG,
                               DLT_TRACE_STATUS_DEFAULT);
    dlt_register_context(&s_contexts[LinkLog], "LINK", "MCU link lines");
    dlt_register_context_llccb(&s_contexts[Frames], "MCUF", "MCU frames as network trace",
                               frameLevelChanged);
}

void close()
{
    for (DltContext &context : s_contexts)
        dlt_unregister_context(&context);
    dlt_unregister_app_flush_buffered_logs();
    s_traceChanged = nullptr;
}

void log(Context context, Level level, const char *text)
{
    DltContext *handle = &s_contexts[context];
    const DltLogLevelType dltLevel = DltLogLevelType(level);
    if (dlt_user_is_logLevel_enabled(handle, dltLevel) != DLT_RETURN_TRUE)
        return;
    dlt_log_string(handle, dltLevel, text);
}

void log(Context context, Level level, const char *text, const char *file, int line,
         const char *function)
{
    DltContext *handle = &s_contexts[context];
    DltContextData data;
    if (dlt_user_log_write_start(handle, &data, DltLogLevelType(level)) != DLT_RETURN_TRUE)
        return;
    dlt_user_log_write_utf8_string(&data, text);
    if (file) {
        dlt_user_log_write_string(&data, file);
        dlt_user_log_write_int32(&data, line);
    }
    if (function)
        dlt_user_log_write_string(&data, function);
    dlt_user_log_write_finish(&data);
}

void traceFrame(Direction direction, const void *frame, int length)
{
    // The header says which way the frame went, in letters a viewer shows.
    char header[2] = {direction == FromMcu ? 'R' : 'T', 'X'};
    dlt_user_trace_network(&s_contexts[Frames], DLT_NW_TRACE_IPC, sizeof header, header,
                           uint16_t(length), const_cast<void *>(frame));
}

} // namespace DltBackend
