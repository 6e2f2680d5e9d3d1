#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <cstdio>

#include "controlchannel.h"
#include "framekind.h"
#include "launcherconfig.h"
#include "mcusimulator.h"
#include "sessionrecorder.h"
#include "simcommand.h"

namespace {

int fail(const QString &message)
{
    std::fputs(message.toUtf8().append('\n').constData(), stderr);
    return McuSimulator::BadUsage;
}

// A path as given; a bare name is a shipped scenario, found beside the
// executable, so a build tree and an unpacked package work alike.
QString findScenario(const QString &arg, QString *error)
{
    if (arg.contains(QLatin1Char('/')) || QFileInfo::exists(arg))
        return arg;
    const QDir dir(QCoreApplication::applicationDirPath()
                   + QStringLiteral("/../share/mcu-sim/scenarios"));
    const QString file = arg.endsWith(QLatin1String(".scn")) ? arg : arg + QStringLiteral(".scn");
    if (dir.exists(file))
        return QDir::cleanPath(dir.filePath(file));
    QStringList shipped = dir.entryList({QStringLiteral("*.scn")}, QDir::Files, QDir::Name);
    shipped.replaceInStrings(QStringLiteral(".scn"), QString());
    *error = QStringLiteral(
                 "%1: no such file, and no shipped scenario of that name in %2 (there: %3)")
                 .arg(arg, QDir::cleanPath(dir.path()), shipped.join(QStringLiteral(", ")));
    return QString();
}

// The whole file is checked before anything is sent, so a typo on line 40
// does not leave the launcher half driven; every bad line is reported.
bool loadScenario(const QString &path, QVector<SimCommand> *out, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("%1: cannot read: %2").arg(path, file.errorString());
        return false;
    }
    QTextStream in(&file);
    in.setCodec("UTF-8");
    QStringList errors;
    for (int lineNo = 1; !in.atEnd(); ++lineNo) {
        SimCommand cmd;
        QString why;
        if (!SimCommand::parse(in.readLine(), &cmd, &why))
            errors << QStringLiteral("%1:%2: %3").arg(path).arg(lineNo).arg(why);
        else if (cmd.kind != SimCommand::Empty)
            out->append(cmd);
    }
    *error = errors.join(QLatin1Char('\n'));
    return errors.isEmpty();
}

// "Kind,Kind" shows only those kinds, "-Kind" hides one.
bool parseFilter(const QString &list, McuSimulator::Options *options, QString *error)
{
    const QStringList known = FrameKind::names(FrameKind::Both);
    const QStringList kinds = list.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (QString kind : kinds) {
        const bool hide = kind.startsWith(QLatin1Char('-'));
        if (hide)
            kind.remove(0, 1);
        if (!known.contains(kind, Qt::CaseInsensitive)) {
            *error = QStringLiteral("--filter: unknown kind '%1'").arg(kind);
            return false;
        }
        (hide ? options->hide : options->show).insert(kind.toLower());
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(MCU_SIM_VERSION));
    // Others read this output as it happens (tests, pipes, tee).
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Plays the MCU service for the launcher: listens where the launcher connects,\n"
        "prints every frame it receives, decoded, and sends frames from commands\n"
        "typed on standard input or read from a scenario file. It answers nothing\n"
        "unless told to. At the end of standard input it finishes what is queued and ends.\n"
        "Output: '< ...' a frame from the launcher, '> ...' a frame sent, '# ...' events,\n"
        "'! ...' failures (on standard error).\n"
        "\n"
        "  mcu-sim [--name NAME] send <command>   send one command (a frame, or quit) into\n"
        "                                        the session running on NAME, print what went "
        "out"));
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption helpOption(QStringList {QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Show this help and the command list."));
    const QCommandLineOption versionOption(
        QStringList {QStringLiteral("v"), QStringLiteral("version")},
        QStringLiteral("Show the version."));
    const QCommandLineOption nameOption(
        QStringLiteral("name"),
        QStringLiteral(
            "Socket name to listen on; a leading '@' is the abstract namespace (default %1). "
            "A path may only replace a socket, and the socket goes at the end.")
            .arg(QStringLiteral(LAUNCHER_MCU_SOCKET)),
        QStringLiteral("name"), QStringLiteral(LAUNCHER_MCU_SOCKET));
    const QCommandLineOption scenarioOption(
        QStringLiteral("scenario"),
        QStringLiteral(
            "Run the commands of this file (checked whole first), or of the shipped scenario of "
            "this name (clock, malformed, normal-boot, in <program "
            "dir>/../share/mcu-sim/scenarios); "
            "standard input is read after it."),
        QStringLiteral("file|name"));
    const QCommandLineOption recordOption(
        QStringLiteral("record"),
        QStringLiteral("Record the session, both directions, timestamped and decoded, as text."),
        QStringLiteral("file"));
    const QCommandLineOption pcapOption(
        QStringLiteral("pcap"),
        QStringLiteral("Capture the session, both directions, as pcapng for Wireshark; with "
                       "--convert, the file the recording becomes."),
        QStringLiteral("file"));
    const QCommandLineOption convertOption(
        QStringLiteral("convert"),
        QStringLiteral("Turn a recording into the capture named by --pcap, then end."),
        QStringLiteral("recording"));
    const QCommandLineOption replayOption(
        QStringLiteral("replay"),
        QStringLiteral(
            "Send the '>' frames of a recording with their original gaps, from the connection on."),
        QStringLiteral("file"));
    const QCommandLineOption speedOption(
        QStringLiteral("speed"),
        QStringLiteral("Replay this many times as fast (0.5: half speed)."),
        QStringLiteral("factor"));
    const QCommandLineOption noTimingOption(
        QStringLiteral("no-timing"),
        QStringLiteral("Replay each frame as soon as the one before went out."));
    const QCommandLineOption loopOption(QStringLiteral("loop"),
                                        QStringLiteral("Replay the recording n times."),
                                        QStringLiteral("n"));
    const QCommandLineOption answersOption(
        QStringLiteral("wait-answers"),
        QStringLiteral(
            "Before each replayed frame, wait up to ms for each frame the launcher sent before it "
            "in the recording (as 'wait-for' does)."),
        QStringLiteral("ms"));
    const QCommandLineOption timestampOption(
        QStringList {QStringLiteral("t"), QStringLiteral("timestamps")},
        QStringLiteral(
            "Start every printed line with the time: a(bsolute) wall time, d(elta) since the line "
            "before, r(elative) to the launcher's connection."),
        QStringLiteral("a|d|r"));
    const QCommandLineOption filterOption(
        QStringLiteral("filter"),
        QStringLiteral(
            "Print frames of these kinds only, either direction; '-Kind' hides a kind instead "
            "(--filter=-Heartbeat). Recording and summary keep everything."),
        QStringLiteral("kinds"));
    const QCommandLineOption noInputOption(
        QStringLiteral("no-input"),
        QStringLiteral(
            "Do not read standard input: run until 'quit', a signal or --exit-after-idle."));
    const QCommandLineOption idleOption(
        QStringLiteral("exit-after-idle"),
        QStringLiteral("End once nothing crossed the link for this long and no wait is pending."),
        QStringLiteral("ms"));
    const QCommandLineOption summaryOption(
        QStringLiteral("summary"),
        QStringLiteral("At the end print what crossed the link, counted by kind."));
    parser.addOptions({helpOption, versionOption, nameOption, scenarioOption, recordOption,
                       pcapOption, convertOption, replayOption, speedOption, noTimingOption,
                       loopOption, answersOption, timestampOption, filterOption, noInputOption,
                       idleOption, summaryOption});

    if (!parser.parse(app.arguments()))
        return fail(parser.errorText() + QStringLiteral("\nTry 'mcu-sim --help'."));
    if (parser.isSet(helpOption)) {
        std::fputs(
            (parser.helpText() + QLatin1Char('\n') + SimCommand::help()
             + QStringLiteral(
                 "\nExit status: 0 every command ran and every check passed; 1 bad usage, "
                 "scenario or socket;\n2 an expect or wait-for failed (mismatch or timeout); "
                 "3 commands never ran (no launcher\ncame, a signal) or a send failed. "
                 "mcu-sim send: 0 sent, 1 bad command or no simulator,\n3 not sent "
                 "(no launcher connected).\n"))
                .toUtf8()
                .constData(),
            stdout);
        return McuSimulator::Passed;
    }
    if (parser.isSet(versionOption)) {
        std::printf("mcu-sim %s\n", MCU_SIM_VERSION);
        return McuSimulator::Passed;
    }
    const QByteArray name = parser.value(nameOption).toLocal8Bit();
    QStringList positional = parser.positionalArguments();
    if (!positional.isEmpty() && positional.first() == QLatin1String("send")) {
        positional.removeFirst();
        SimCommand cmd;
        QString error;
        if (!SimCommand::parse(positional.join(QLatin1Char(' ')), &cmd, &error))
            return fail(QStringLiteral("mcu-sim send: ") + error);
        if (cmd.kind != SimCommand::Send && cmd.kind != SimCommand::Quit)
            return fail(QStringLiteral("mcu-sim send: expected a frame command or 'quit'"));
        return ControlChannel::send(name, cmd.text);
    }
    if (!positional.isEmpty())
        return fail(QStringLiteral("unexpected argument '%1'\nTry 'mcu-sim --help'.")
                        .arg(positional.first()));
    QString error;
    if (parser.isSet(convertOption)) {
        if (!parser.isSet(pcapOption))
            return fail(QStringLiteral("--convert needs --pcap FILE, the capture to write"));
        if (!SessionRecorder::convert(parser.value(convertOption), parser.value(pcapOption), &error))
            return fail(error);
        return McuSimulator::Passed;
    }
    if (parser.isSet(scenarioOption) && parser.isSet(replayOption))
        return fail(QStringLiteral("--scenario and --replay cannot be combined"));
    for (const QCommandLineOption &o : {speedOption, noTimingOption, loopOption, answersOption}) {
        if (parser.isSet(o) && !parser.isSet(replayOption))
            return fail(QStringLiteral("--%1 goes with --replay").arg(o.names().constFirst()));
    }

    McuSimulator::Options options;
    options.name = name;
    options.summary = parser.isSet(summaryOption);
    bool ok = true;
    if (parser.isSet(idleOption)) {
        options.idleMs = parser.value(idleOption).toLongLong(&ok);
        if (!ok || options.idleMs < 0 || options.idleMs > 86400000)
            return fail(QStringLiteral("--exit-after-idle: expected milliseconds, 0 to 86400000"));
    }
    if (parser.isSet(timestampOption)) {
        const QString mode = parser.value(timestampOption);
        const QStringList modes {QStringLiteral("absolute"), QStringLiteral("delta"),
                                 QStringLiteral("relative")};
        int i = 0;
        while (i < modes.size() && mode != modes.at(i) && mode != modes.at(i).leftRef(1))
            ++i;
        if (i == modes.size())
            return fail(QStringLiteral("-t: expected a, d or r (absolute, delta, relative)"));
        options.timestamps = McuSimulator::Timestamps(McuSimulator::Absolute + i);
    }
    if (parser.isSet(filterOption) && !parseFilter(parser.value(filterOption), &options, &error))
        return fail(error);

    QVector<SimCommand> commands;
    if (parser.isSet(scenarioOption)) {
        const QString path = findScenario(parser.value(scenarioOption), &error);
        if (path.isEmpty() || !loadScenario(path, &commands, &error))
            return fail(error);
    }
    if (parser.isSet(replayOption)) {
        SessionRecorder::ReplayOptions replay;
        if (parser.isSet(speedOption)) {
            replay.speed = parser.value(speedOption).toDouble(&ok);
            if (!ok || !(replay.speed > 0) || replay.speed > 1e6)
                return fail(QStringLiteral("--speed: expected a factor above 0"));
        }
        if (parser.isSet(loopOption)) {
            replay.loops = parser.value(loopOption).toInt(&ok);
            if (!ok || replay.loops < 1 || replay.loops > 100000)
                return fail(QStringLiteral("--loop: expected 1 to 100000"));
        }
        replay.timing = !parser.isSet(noTimingOption);
        if (parser.isSet(answersOption)) {
            replay.answerMs = parser.value(answersOption).toLongLong(&ok);
            if (!ok || replay.answerMs < 0 || replay.answerMs > 86400000)
                return fail(QStringLiteral("--wait-answers: expected milliseconds, 0 to 86400000"));
        }
        if (!SessionRecorder::loadReplay(parser.value(replayOption), replay, &commands, &error))
            return fail(error);
    }

    McuSimulator sim(options);
    if (parser.isSet(recordOption) && !sim.record(parser.value(recordOption), &error))
        return fail(error);
    if (parser.isSet(pcapOption) && !sim.capture(parser.value(pcapOption), &error))
        return fail(error);
    if (!sim.listen(&error))
        return fail(error);
    // One-shot sends are a convenience: without them the session still runs.
    if (!sim.listenControl(&error))
        std::fprintf(stderr, "mcu-sim: no one-shot sends into this session: %s\n",
                     qPrintable(error));
    sim.quitOnSignals();
    sim.enqueue(commands);
    if (!parser.isSet(noInputOption))
        sim.readStdin();
    return app.exec();
}
