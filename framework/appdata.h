#ifndef APPDATA_H
#define APPDATA_H

#include <QString>
#include "sourceid.h"

// The unit's shared state. Called from the GUI thread and the MCU reader thread at once.
class AppData
{
public:
    static AppData *GetInstance();

    int curSource() const;
    void setCurSource(int src);
    int lastSource() const;
    void setLastSource(int src);
    bool isAudioSource(tag_SOURCE_ID_T src) const;
    bool isDirectSwitchAudioSrc(tag_SOURCE_ID_T src) const;
    void setIsFirstRun(bool firstRun);
    bool isFirstRun() const;
    int curAudioSource() const;
    void setCurAudioSource(int src);
    int lastAudioSource() const;
    void setLastAudioSource(int src);

    void setMcuType(short type);
    short mcuType() const;
    void setTunerType(short type);
    short tunerType() const;
    void setUUID(QString uuid);
    QString uuid() const;
    void setMcuTimeSynced(bool synced);
    bool mcuTimeSynced() const;

    bool AudioInitOK() const;

private:
    AppData();
    ~AppData();
    AppData(const AppData &) = delete;
    AppData &operator=(const AppData &) = delete;
    class Private;
    Private *d;
};

#endif
