#include "sessionrecorder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QRegularExpression>
#include <QTextStream>

#include "framecodec.h"

namespace {

const QString Legend = QStringLiteral(
    "'<' launcher to MCU, '>' MCU to launcher; seconds since the start, "
    "wire bytes, decoded");

const QString CaptureLegend = QStringLiteral(
    "taken at the MCU's end: inbound is launcher to MCU ('<'), outbound MCU to "
    "launcher ('>'); one packet per frame or write");

struct RecordedFrame
{
    double at;
    char direction;
    QByteArray bytes;
    int line;
};

struct Recording
{
    QString header; // the first line without its "# ", when it is a session header
    QDateTime started; // invalid without a header
    QString socketName;
    double connectedAt = 0; // the first connection, when before every frame
    QVector<RecordedFrame> frames;
};

bool readRecording(const QString &path, Recording *out, QString *error)
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
    static const QRegularExpression headerLine(
        QStringLiteral("^# (mcu-sim \\S+ session on (.*), started (\\S+))$"));
    int lineNo = 0;
    QTextStream in(&file);
    in.setCodec("UTF-8");
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        ++lineNo;
        if (line.isEmpty())
            continue;
        if (line.startsWith(QLatin1Char('#'))) {
            const auto header = headerLine.match(line);
            if (lineNo == 1 && header.hasMatch()) {
                out->header = header.captured(1);
                out->socketName = header.captured(2);
                out->started = QDateTime::fromString(header.captured(3), Qt::ISODateWithMs);
            }
            const auto m = connectedNote.match(line);
            if (m.hasMatch() && out->frames.isEmpty())
                out->connectedAt = m.captured(1).toDouble();
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
        out->frames.append(
            {m.captured(1).toDouble(), m.captured(2).at(0).toLatin1(), bytes, lineNo});
    }
    return true;
}

} // namespace

SessionRecorder::SessionRecorder()
    : m_started(QDateTime::currentDateTime())
{
    m_clock.start();
}

QString SessionRecorder::header(const QString &socketName) const
{
    return QStringLiteral("mcu-sim %1 session on %2, started %3")
        .arg(QCoreApplication::applicationVersion(), socketName,
             m_started.toOffsetFromUtc(m_started.offsetFromUtc()).toString(Qt::ISODateWithMs));
}

bool SessionRecorder::open(const QString &path, const QString &socketName, QString *error)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        *error = QStringLiteral("%1: cannot write: %2").arg(path, m_file.errorString());
        return false;
    }
    write(QStringLiteral("# ") + header(socketName));
    write(QStringLiteral("# ") + Legend);
    return true;
}

bool SessionRecorder::capture(const QString &path, const QString &socketName, QString *error)
{
    return m_capture.open(path, {header(socketName), CaptureLegend}, socketName, error);
}

void SessionRecorder::frame(char direction, const QByteArray &bytes, const QString &decoded)
{
    write(QStringLiteral("+%1 %2 %3  # %4")
              .arg(double(m_clock.elapsed()) / 1000.0, 0, 'f', 3)
              .arg(QLatin1Char(direction))
              .arg(FrameCodec::wordHex(bytes), decoded));
    m_capture.packet(direction,
                     m_started.toMSecsSinceEpoch() * 1000 + m_clock.nsecsElapsed() / 1000, bytes);
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
    Recording recording;
    if (!readRecording(path, &recording, error))
        return false;
    QVector<SimCommand> once;
    double last = recording.connectedAt;
    bool started = false;
    for (const RecordedFrame &frame : qAsConst(recording.frames)) {
        const bool fromLauncher = frame.direction == '<';
        // What the launcher sent before the first send is its own doing, not an answer.
        if (fromLauncher && (!started || options.answerMs < 0))
            continue;
        SimCommand cmd;
        if (fromLauncher) {
            cmd.kind = SimCommand::WaitFor;
            cmd.word = FrameCodec::decode(frame.bytes).kind;
            cmd.ms = options.answerMs;
            cmd.text =
                QStringLiteral("%1:%2: the launcher's %3").arg(path).arg(frame.line).arg(cmd.word);
        } else {
            cmd.kind = SimCommand::Send;
            cmd.name = QStringLiteral("replay");
            cmd.text = QStringLiteral("%1:%2").arg(path).arg(frame.line);
            cmd.bytes = frame.bytes;
            cmd.ms = options.timing
                ? qMax<qint64>(0, qRound64((frame.at - last) * 1000 / options.speed))
                : 0;
        }
        started = true;
        last = frame.at;
        once.append(cmd);
    }
    for (int i = 0; i < options.loops; ++i)
        *out += once;
    return true;
}

bool SessionRecorder::convert(const QString &recordingPath, const QString &pcapPath, QString *error)
{
    Recording recording;
    if (!readRecording(recordingPath, &recording, error))
        return false;
    // Without its header a recording has no wall time: its frames start at the epoch.
    const qint64 startUsecs = recording.started.isValid()
        ? recording.started.toMSecsSinceEpoch() * 1000
        : 0;
    QStringList comments;
    if (!recording.header.isEmpty())
        comments << recording.header;
    comments << CaptureLegend
             << QStringLiteral("converted from %1 by mcu-sim %2")
                    .arg(recordingPath, QCoreApplication::applicationVersion());
    PcapWriter capture;
    if (!capture.open(pcapPath, comments,
                      recording.socketName.isEmpty() ? QStringLiteral("MCU link")
                                                     : recording.socketName,
                      error))
        return false;
    for (const RecordedFrame &frame : qAsConst(recording.frames))
        capture.packet(frame.direction, startUsecs + qRound64(frame.at * 1e6), frame.bytes);
    return true;
}
