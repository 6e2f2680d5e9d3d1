#include "dltbackend.h"

// The build without the automotive log system: every call is a no-op.
namespace DltBackend {

void open(void (*)(bool)) { }

void close() { }

void log(Context, Level, const char *) { }

void log(Context, Level, const char *, const char *, int, const char *) { }

void traceFrame(Direction, const void *, int) { }

} // namespace DltBackend
