#ifndef SVCCONTROL_H
#define SVCCONTROL_H

#include <QObject>

// Runs the framework's services in stages.
class SvcControl : public QObject
{
    Q_OBJECT
public:
    enum ExeStage : int {
        DirectStage = 0,
        NormalStage = 1,
    };
    Q_ENUMS(ExeStage)

    explicit SvcControl(QObject *parent = nullptr);
    ~SvcControl() override;

    void exeStage(SvcControl::ExeStage stage, bool direct);
    void stop(bool force);

Q_SIGNALS:
    void stageReady(SvcControl::ExeStage stage);
    void finished();

private:
    class Private;
    Private *d;
};

Q_DECLARE_METATYPE(SvcControl::ExeStage)

#endif
