#include "sessionrecorder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QRegularExpression>
#include <QTextStream>

#include "framecodec.h"

SessionRecorder::SessionRecorder(const QElapsedTimer &clock)
    : m_clock(clock)
{ }

bool SessionRecorder::open(const QString &path, const QString &socketName, QString *error)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        *error = QStringLiteral("%1: cannot write: %2").arg(path, m_file.errorString());
        return false;
    }
    write(QStringLiteral("# mcu-sim %1 session on %2, started %3")
              .arg(QCoreApplication::applicationVersion(), socketName,
                   QDateTime::currentDateTime()
                       .toOffsetFromUtc(QDateTime::currentDateTime().offsetFromUtc())
                       .toString(Qt::ISODateWithMs)));
    write(QStringLiteral("# '<' launcher to MCU, '>' MCU to launcher; seconds since the start, "
                         "wire bytes, decoded"));
    return true;
}

void SessionRecorder::frame(char direction, const QByteArray &bytes, const QString &decoded)
{
    write(QStringLiteral("+%1 %2 %3  # %4")
              .arg(double(m_clock.elapsed()) / 1000.0, 0, 'f', 3)
              .arg(QLatin1Char(direction))
              .arg(FrameCodec::wordHex(bytes), decoded));
}

void SessionRecorder::note(const QString &text)
{
    write(QStringLiteral("# +%1 %2").arg(double(m_clock.elapsed()) / 1000.0, 0, 'f', 3).arg(text));
}

void SessionRecorder::write(const QString &line)
{
    if (!m_file.isOpen())
        return;
    // Flushed per line, so a killed session still leaves its record.
    m_file.write(line.toUtf8() + '\n');
    m_file.flush();
}

bool SessionRecorder::loadReplay(const QString &path, const ReplayOptions &options,
                                 QVector<SimCommand> *out, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("%1: cannot read: %2").arg(path, file.errorString());
        return false;
    }
    static const QRegularExpression frameLine(
        QStringLiteral("^\\+(\\d+(?:\\.\\d+)?) ([<>]) ([0-9a-fA-F ]+?)(?:\\s+#.*)?$"));
    static const QRegularExpression connectedNote(
        QStringLiteral("^# \\+(\\d+(?:\\.\\d+)?) connected"));
    QVector<SimCommand> once;
    double last = 0;
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
                last = m.captured(1).toDouble();
            continue;
        }
        const auto m = frameLine.match(line);
        QByteArray bytes;
        if (!m.hasMatch() || !FrameCodec::parseHex(m.captured(3), &bytes)) {
            *error = QStringLiteral("%1:%2: expected '+SECONDS < HEX' or '+SECONDS > HEX'")
                         .arg(path)
                         .arg(lineNo);
            return false;
        }
        const bool fromLauncher = m.captured(2) == QLatin1String("<");
        // What the launcher sent before the first send is its own doing, not an answer.
        if (fromLauncher && (!started || options.answerMs < 0))
            continue;
        const double at = m.captured(1).toDouble();
        SimCommand cmd;
        if (fromLauncher) {
            cmd.kind = SimCommand::WaitFor;
            cmd.word = FrameCodec::decode(bytes).kind;
            cmd.ms = options.answerMs;
            cmd.text =
                QStringLiteral("%1:%2: the launcher's %3").arg(path).arg(lineNo).arg(cmd.word);
        } else {
            cmd.kind = SimCommand::Send;
            cmd.name = QStringLiteral("replay");
            cmd.text = QStringLiteral("%1:%2").arg(path).arg(lineNo);
            cmd.bytes = bytes;
            cmd.ms = options.timing ? qMax<qint64>(0, qRound64((at - last) * 1000 / options.speed))
                                    : 0;
        }
        started = true;
        last = at;
        once.append(cmd);
    }
    for (int i = 0; i < options.loops; ++i)
        *out += once;
    return true;
}
