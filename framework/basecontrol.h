#ifndef BASECONTROL_H
#define BASECONTROL_H

#include <QString>
#include "mainappmsg.h"

// Receives MCU events for the framework. Called on the MCU reader thread.
class BaseControl
{
public:
    static BaseControl *getInstance();

    void changeMediaSrcSlot(int fromSrc, int toSrc);
    void sendMcuKeyPressedSignal(int key, int state);
    void ejectSlot();
    QString getDateVersion();
    void ReceiveKeyStudyMsgFromMcu(MCU_STEER_KEY_STUDY_DATA study);
    void RecevieMsgFromMcu(tag_MCUSRV_TO_MAIN_APP_T frame);
    void RecevieSIMMsgFromMcu(tag_MCUSRV_TO_MAIN_APP_T frame);
    void RecevieMCMMsgFromMcu(tag_MCUSRV_TO_MAIN_APP_T frame);
    void RecevieAutoTestFromMcu(int item, unsigned char *bytes);

private:
    BaseControl();
    // NOLINTNEXTLINE(performance-trivially-destructible) declared as the maker declares it
    ~BaseControl();
    BaseControl(const BaseControl &) = delete;
    BaseControl &operator=(const BaseControl &) = delete;
};

#endif
