#ifndef STOREDSETTING_H
#define STOREDSETTING_H

#include <QString>

// A setting of the framework's store, or its factory default when none is
// stored. Read afresh at every call: the settings screen and other processes
// change them at any time. The fallback handed to the store has the type asked
// for, as the store's readers expect.
namespace StoredSetting {
bool readBool(const QString &key);
int readInt(const QString &key);
QString readString(const QString &key);
} // namespace StoredSetting

#endif
