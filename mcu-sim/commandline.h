#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <QString>
#include <QStringList>

#include "mcusimulator.h"
#include "sessionrecorder.h"

// mcu-sim's options: what to do, and with what.
struct CommandLine
{
    enum Action { Run, Help, Version, Send, Convert };

    Action action = Run;
    QString helpText; // Help: all of it
    QString sendLine; // Send: the command
    McuSimulator::Options options;
    SessionRecorder::ReplayOptions replay;
    QString scenario; // as given: a path or a shipped name
    QString replayPath;
    QString recordPath;
    QString pcapPath; // Convert: the capture to write
    QString convertPath;
    bool readInput = true;

    // False with error set, "Try 'mcu-sim --help'." where that helps.
    bool parse(const QStringList &arguments, QString *error);
};

#endif
