#ifndef CONTROLCHANNEL_H
#define CONTROLCHANNEL_H

#include <QByteArray>
#include <QString>

// The small socket through which "mcu-sim send" reaches a running simulator.
// One per simulated service name, in a directory only its user can enter.
class ControlChannel
{
public:
    // Empty with error set when the directory is missing (and create is
    // false) or is not private to this user.
    static QByteArray path(const QByteArray &name, bool create, QString *error);
    // Hands one command line to the simulator on name and prints its answer;
    // returns the exit status of "mcu-sim send".
    static int send(const QByteArray &name, const QString &line);
};

#endif
