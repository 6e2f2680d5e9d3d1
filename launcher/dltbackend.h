#ifndef DLTBACKEND_H
#define DLTBACKEND_H

// The one seam to the automotive log system. The build links exactly one of
// dltbackend_libdlt.cpp (the real library) and dltbackend_none.cpp (nothing),
// so the code above it never asks which one it got.
namespace DltBackend {

enum Context { DebugLog, LinkLog, Frames };
// DLT's own numbers: fatal 1 .. verbose 6.
enum Level { Fatal = 1, Error, Warning, Info, Debug };
enum Direction { FromMcu, ToMcu };

// Registers the application and its contexts; a missing daemon is no error.
// traceChanged(on) is called, on a thread of the library, whenever the frame
// context's trace status is set.
void open(void (*traceChanged)(bool on));
void close();

void log(Context context, Level level, const char *text);
// A debug-log message with where it was written; file and function may be null.
void log(Context context, Level level, const char *text, const char *file, int line,
         const char *function);
void traceFrame(Direction direction, const void *frame, int length);

} // namespace DltBackend

#endif
