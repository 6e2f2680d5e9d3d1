#ifndef MEVENTFILTER_H
#define MEVENTFILTER_H

#include <QObject>

#include "launcher_export.h"

class QSound;

// Application-wide filter that plays the debounced key beep.
class LAUNCHER_EXPORT MEventFilter : public QObject
{
    Q_OBJECT
public:
    static MEventFilter *GetInstance();
    static void DeleteInstance();

    explicit MEventFilter(QObject *parent = nullptr);
    ~MEventFilter() override;

    bool eventFilter(QObject *watched, QEvent *event) override;

Q_SIGNALS:
    void mcuPlayBeepSig();

public Q_SLOTS:
    void playSound();

private:
    QSound *m_sound;
    // The volume m_sound was chosen for.
    int m_volBeep;
    static MEventFilter *pInst;
};

#endif
