#ifndef LINKLOG_H
#define LINKLOG_H

// The MCU link's own channel: one line on standard output per call (the
// newline is added here). Every line the link prints goes through this one
// function, so a second sink for the same lines is added in one place.
// Allocation-free: it lies on the reader's per-frame path.
void linkLine(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif
