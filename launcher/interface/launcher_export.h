#ifndef LAUNCHER_EXPORT_H
#define LAUNCHER_EXPORT_H

// The framework libraries call these operations by name from the executable.
#define LAUNCHER_EXPORT __attribute__((visibility("default")))

#endif
