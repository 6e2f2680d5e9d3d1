#ifndef MCUSIMULATOR_H
#define MCUSIMULATOR_H

#include <QObject>
#include <QSet>
#include <QVector>

#include "checkbook.h"
#include "commandqueue.h"
#include "launcherconnection.h"
#include "lineprinter.h"
#include "linkcounts.h"
#include "listeningsocket.h"
#include "sessionrecorder.h"
#include "simcommand.h"
#include "stdinreader.h"

// Plays the MCU service: listens where the launcher connects, prints what it
// sends and sends what the commands say, one command at a time.
class McuSimulator : public QObject
{
    Q_OBJECT
public:
    // Exit statuses, documented in --help.
    enum Status { Passed = 0, BadUsage = 1, CheckFailed = 2, NotSent = 3 };

    struct Options
    {
        QByteArray name; // '@' for the abstract namespace, else a path
        bool summary = false;
        qint64 idleMs = -1; // end after this long without traffic; -1 never
        LinePrinter::Timestamps timestamps = LinePrinter::NoTimestamps;
        QSet<QString> show; // kinds printed (lower case); empty: all
        QSet<QString> hide; // kinds never printed (lower case)
    };

    explicit McuSimulator(const Options &options, QObject *parent = nullptr);

    bool listen(QString *error);
    bool listenControl(QString *error);
    bool record(const QString &path, QString *error);
    bool capture(const QString &path, QString *error);
    void enqueue(const QVector<SimCommand> &commands) { m_commands.append(commands); }
    void readStdin() { m_input.start(); }
    void quitOnSignals();

private:
    void connected();
    void framesRead(const QVector<QByteArray> &frames);
    void disconnected(const QString &why, const QByteArray &incomplete);
    void answerControl(int fd);
    void received(const QByteArray &frame);
    bool send(const SimCommand &cmd, QString *line = nullptr);
    void finish();

    // In the order they are made: a part may be handed those above it.
    const Options m_options;
    LinePrinter m_printer;
    SessionRecorder m_recorder;
    LinkCounts m_counts;
    LauncherConnection m_link;
    ListeningSocket m_control;
    CheckBook m_checks;
    CommandQueue m_commands;
    StdinReader m_input;
};

#endif
