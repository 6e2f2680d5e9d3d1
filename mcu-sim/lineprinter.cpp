#include "lineprinter.h"

#include <QDateTime>

LinePrinter::LinePrinter(Timestamps timestamps, const QSet<QString> &show, const QSet<QString> &hide)
    : m_timestamps(timestamps)
    , m_show(show)
    , m_hide(hide)
{
    m_connClock.start();
}

void LinePrinter::print(std::FILE *stream, const QString &line, const QString &kind)
{
    const QString k = kind.toLower();
    if (!k.isEmpty() && ((!m_show.isEmpty() && !m_show.contains(k)) || m_hide.contains(k)))
        return;
    QString stamp;
    switch (m_timestamps) {
    case NoTimestamps:
        break;
    case Absolute:
        stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
        break;
    case Delta:
        stamp = QStringLiteral("+%1").arg(
            m_lastPrinted.isValid() ? double(m_lastPrinted.elapsed()) / 1000.0 : 0.0, 0, 'f', 3);
        m_lastPrinted.start();
        break;
    case Relative:
        stamp = QString::number(double(m_connClock.elapsed()) / 1000.0, 'f', 3);
        break;
    }
    const QString text = stamp.isEmpty() ? line
                                         : QLatin1Char('(') + stamp + QStringLiteral(") ") + line;
    std::fputs(text.toUtf8().append('\n').constData(), stream);
}
