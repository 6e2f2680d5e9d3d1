#include "sessionrecorder.h"

#include <QRegularExpression>
#include <QTextStream>

#include "framecodec.h"

SessionRecorder::SessionRecorder(const QElapsedTimer &clock)
    : m_clock(clock)
{
}

bool SessionRecorder::open(const QString &path, QString *error)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        *error = QStringLiteral("%1: cannot write: %2").arg(path, m_file.errorString());
        return false;
    }
    m_file.write("# mcu-sim session: '<' launcher to MCU, '>' MCU to launcher, seconds since start\n");
    m_file.flush();
    return true;
}

void SessionRecorder::frame(char direction, const QByteArray &bytes)
{
    write(QStringLiteral("+%1 %2 %3").arg(m_clock.elapsed() / 1000.0, 0, 'f', 3)
              .arg(QLatin1Char(direction)).arg(FrameCodec::wordHex(bytes)));
}

void SessionRecorder::note(const QString &text)
{
    write(QStringLiteral("# +%1 %2").arg(m_clock.elapsed() / 1000.0, 0, 'f', 3).arg(text));
}

void SessionRecorder::write(const QString &line)
{
    if (!m_file.isOpen())
        return;
    // Flushed per line, so a killed session still leaves its record.
    m_file.write(line.toUtf8() + '\n');
    m_file.flush();
}

bool SessionRecorder::loadReplay(const QString &path, QVector<SimCommand> *out, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("%1: cannot read: %2").arg(path, file.errorString());
        return false;
    }
    static const QRegularExpression frameLine(QStringLiteral("^\\+(\\d+(?:\\.\\d+)?) ([<>]) (.*)$"));
    static const QRegularExpression connectedNote(QStringLiteral("^# \\+(\\d+(?:\\.\\d+)?) connected"));
    double origin = 0;
    bool started = false;
    int lineNo = 0;
    QTextStream in(&file);
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        ++lineNo;
        if (line.isEmpty())
            continue;
        if (line.startsWith(QLatin1Char('#'))) {
            const auto m = connectedNote.match(line);
            if (m.hasMatch() && !started)
                origin = m.captured(1).toDouble();
            continue;
        }
        const auto m = frameLine.match(line);
        QByteArray bytes;
        if (!m.hasMatch() || !FrameCodec::parseHex(m.captured(3), &bytes)) {
            *error = QStringLiteral("%1:%2: expected '+SECONDS < HEX' or '+SECONDS > HEX'").arg(path).arg(lineNo);
            return false;
        }
        if (m.captured(2) != QLatin1String(">"))
            continue;
        started = true;
        SimCommand cmd;
        cmd.kind = SimCommand::Send;
        cmd.name = QStringLiteral("replay");
        cmd.text = QStringLiteral("replay of line %1").arg(lineNo);
        cmd.bytes = bytes;
        cmd.ms = qMax<qint64>(0, qRound64((m.captured(1).toDouble() - origin) * 1000));
        out->append(cmd);
    }
    return true;
}
