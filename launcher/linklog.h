#ifndef LINKLOG_H
#define LINKLOG_H

// The MCU link's own channel: one line on standard output per call (the
// newline is added here), and the same text in the link's DLT context. Every
// line the link prints goes through these two functions.
// Allocation-free: they lie on the reader's per-frame path.
void linkLine(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The per-frame line: the same, at the debug level in DLT, so a unit does not
// send one message per frame unless asked to.
void linkFrameLine(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif
