#ifndef CHECKBOOK_H
#define CHECKBOOK_H

#include <QHash>
#include <QString>
#include <QVector>

#include "framecodec.h"
#include "simcommand.h"

class LinePrinter;

// The launcher's frames that no "wait-for" or "expect" has taken yet, by
// kind, and how the checks went; each outcome is printed as it happens.
class CheckBook
{
public:
    explicit CheckBook(LinePrinter &printer)
        : m_printer(printer)
    { }

    void arrived(const DecodedFrame &frame);
    // Takes the oldest unclaimed frame of the command's kind; for "expect"
    // also checks its fields. False while there is none.
    bool take(const SimCommand &cmd);
    // The command's time is over without its frame.
    void timedOut(const SimCommand &cmd);
    int failed() const { return m_failed; }
    // "# N of M checks passed", when there were any.
    void printTally();

private:
    LinePrinter &m_printer;
    QHash<QString, QVector<DecodedFrame>> m_unclaimed; // by lower-case kind
    int m_passed = 0;
    int m_failed = 0;
};

#endif
