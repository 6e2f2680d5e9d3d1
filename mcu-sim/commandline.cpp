#include "commandline.h"

#include <QCommandLineParser>

#include "framekind.h"
#include "launcherconfig.h"

namespace {

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

bool fail(QString *error, const QString &why)
{
    *error = why;
    return false;
}

} // namespace

bool CommandLine::parse(const QStringList &arguments, QString *error)
{
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

    if (!parser.parse(arguments))
        return fail(error, parser.errorText() + QStringLiteral("\nTry 'mcu-sim --help'."));
    if (parser.isSet(helpOption)) {
        action = Help;
        helpText = parser.helpText() + QLatin1Char('\n') + SimCommand::help()
            + QStringLiteral(
                       "\nExit status: 0 every command ran and every check passed; 1 bad usage, "
                       "scenario or socket;\n2 an expect or wait-for failed (mismatch or timeout); "
                       "3 commands never ran (no launcher\ncame, a signal) or a send failed. "
                       "mcu-sim send: 0 sent, 1 bad command or no simulator,\n3 not sent "
                       "(no launcher connected).\n");
        return true;
    }
    if (parser.isSet(versionOption)) {
        action = Version;
        return true;
    }
    options.name = parser.value(nameOption).toLocal8Bit();
    QStringList positional = parser.positionalArguments();
    if (!positional.isEmpty() && positional.first() == QLatin1String("send")) {
        positional.removeFirst();
        action = Send;
        sendLine = positional.join(QLatin1Char(' '));
        return true;
    }
    if (!positional.isEmpty())
        return fail(error,
                    QStringLiteral("unexpected argument '%1'\nTry 'mcu-sim --help'.")
                        .arg(positional.first()));
    if (parser.isSet(convertOption)) {
        if (!parser.isSet(pcapOption))
            return fail(error, QStringLiteral("--convert needs --pcap FILE, the capture to write"));
        action = Convert;
        convertPath = parser.value(convertOption);
        pcapPath = parser.value(pcapOption);
        return true;
    }
    if (parser.isSet(scenarioOption) && parser.isSet(replayOption))
        return fail(error, QStringLiteral("--scenario and --replay cannot be combined"));
    for (const QCommandLineOption &o : {speedOption, noTimingOption, loopOption, answersOption}) {
        if (parser.isSet(o) && !parser.isSet(replayOption))
            return fail(error,
                        QStringLiteral("--%1 goes with --replay").arg(o.names().constFirst()));
    }

    options.summary = parser.isSet(summaryOption);
    bool ok = true;
    if (parser.isSet(idleOption)) {
        options.idleMs = parser.value(idleOption).toLongLong(&ok);
        if (!ok || options.idleMs < 0 || options.idleMs > 86400000)
            return fail(error,
                        QStringLiteral("--exit-after-idle: expected milliseconds, 0 to 86400000"));
    }
    if (parser.isSet(timestampOption)) {
        const QString mode = parser.value(timestampOption);
        const QStringList modes {QStringLiteral("absolute"), QStringLiteral("delta"),
                                 QStringLiteral("relative")};
        int i = 0;
        while (i < modes.size() && mode != modes.at(i) && mode != modes.at(i).leftRef(1))
            ++i;
        if (i == modes.size())
            return fail(error, QStringLiteral("-t: expected a, d or r (absolute, delta, relative)"));
        options.timestamps = LinePrinter::Timestamps(LinePrinter::Absolute + i);
    }
    if (parser.isSet(filterOption) && !parseFilter(parser.value(filterOption), &options, error))
        return false;

    scenario = parser.value(scenarioOption);
    replayPath = parser.value(replayOption);
    if (parser.isSet(speedOption)) {
        replay.speed = parser.value(speedOption).toDouble(&ok);
        if (!ok || !(replay.speed > 0) || replay.speed > 1e6)
            return fail(error, QStringLiteral("--speed: expected a factor above 0"));
    }
    if (parser.isSet(loopOption)) {
        replay.loops = parser.value(loopOption).toInt(&ok);
        if (!ok || replay.loops < 1 || replay.loops > 100000)
            return fail(error, QStringLiteral("--loop: expected 1 to 100000"));
    }
    replay.timing = !parser.isSet(noTimingOption);
    if (parser.isSet(answersOption)) {
        replay.answerMs = parser.value(answersOption).toLongLong(&ok);
        if (!ok || replay.answerMs < 0 || replay.answerMs > 86400000)
            return fail(error,
                        QStringLiteral("--wait-answers: expected milliseconds, 0 to 86400000"));
    }
    recordPath = parser.value(recordOption);
    pcapPath = parser.value(pcapOption);
    readInput = !parser.isSet(noInputOption);
    return true;
}
