#include "checkbook.h"

#include <QStringList>

#include "lineprinter.h"

namespace {

// A kind nobody checks must not grow without end.
const int MaxUnclaimedPerKind = 4096;

} // namespace

void CheckBook::arrived(const DecodedFrame &frame)
{
    QVector<DecodedFrame> &unclaimed = m_unclaimed[frame.kind.toLower()];
    if (unclaimed.size() == MaxUnclaimedPerKind)
        unclaimed.removeFirst();
    unclaimed.append(frame);
}

bool CheckBook::take(const SimCommand &cmd)
{
    QVector<DecodedFrame> &frames = m_unclaimed[cmd.word.toLower()];
    if (frames.isEmpty())
        return false;
    const DecodedFrame frame = frames.takeFirst();
    QStringList expected, got;
    for (const auto &f : cmd.fields) {
        bool found = false;
        const QString value = frame.field(f.first, &found);
        if (!found || value != f.second) {
            expected << f.first + QLatin1Char('=') + f.second;
            got << f.first + QLatin1Char('=') + (found ? value : QStringLiteral("(no such field)"));
        }
    }
    if (!expected.isEmpty()) {
        ++m_failed;
        m_printer.print(stderr,
                        QStringLiteral("! FAILED: %1: expected %2, got %3 in '%4'")
                            .arg(cmd.text, expected.join(QLatin1Char(' ')),
                                 got.join(QLatin1Char(' ')), frame.text));
    } else if (cmd.kind == SimCommand::Expect) {
        ++m_passed;
        m_printer.print(stdout, QStringLiteral("# passed: ") + cmd.text);
    }
    return true;
}

void CheckBook::timedOut(const SimCommand &cmd)
{
    m_printer.print(
        stderr,
        QStringLiteral("! FAILED: %1: no %2 within %3 ms").arg(cmd.text, cmd.word).arg(cmd.ms));
    ++m_failed;
}

void CheckBook::printTally()
{
    if (m_passed + m_failed)
        m_printer.print(
            stdout,
            QStringLiteral("# %1 of %2 checks passed").arg(m_passed).arg(m_passed + m_failed));
}
