#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <cstdio>

#include "launcherconfig.h"
#include "mcusimulator.h"
#include "sessionrecorder.h"
#include "simcommand.h"

namespace {

int fail(const QString &message)
{
    std::fputs(message.toUtf8().append('\n').constData(), stderr);
    return 1;
}

// The whole file is checked before anything is sent, so a typo on line 40
// does not leave the launcher half driven.
bool loadScenario(const QString &path, QVector<SimCommand> *out, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("%1: cannot read: %2").arg(path, file.errorString());
        return false;
    }
    QTextStream in(&file);
    in.setCodec("UTF-8");
    int lineNo = 0;
    while (!in.atEnd()) {
        const QString line = in.readLine();
        ++lineNo;
        SimCommand cmd;
        QString why;
        if (!SimCommand::parse(line, &cmd, &why)) {
            *error = QStringLiteral("%1:%2: %3").arg(path).arg(lineNo).arg(why);
            return false;
        }
        if (cmd.kind != SimCommand::Empty)
            out->append(cmd);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Others read this output as it happens (tests, pipes, tee).
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Plays the MCU service for the launcher: listens where the launcher connects,\n"
        "prints every frame it receives, decoded, and sends frames from commands\n"
        "typed on standard input or read from a scenario file. It answers nothing\n"
        "unless told to.\n"
        "Output: '< ...' a frame from the launcher, '> ...' a frame sent, '# ...' events."));
    const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Show this help and the command list."));
    const QCommandLineOption nameOption(QStringLiteral("name"),
        QStringLiteral("Socket name to listen on; a leading '@' is the abstract namespace (default %1).")
            .arg(QStringLiteral(LAUNCHER_MCU_SOCKET)),
        QStringLiteral("name"), QStringLiteral(LAUNCHER_MCU_SOCKET));
    const QCommandLineOption scenarioOption(QStringLiteral("scenario"),
        QStringLiteral("Run the commands of this file (checked whole first); standard input is read after it."),
        QStringLiteral("file"));
    const QCommandLineOption recordOption(QStringLiteral("record"),
        QStringLiteral("Record the session, both directions, timestamped, as text."), QStringLiteral("file"));
    const QCommandLineOption replayOption(QStringLiteral("replay"),
        QStringLiteral("Send the '>' frames of a recording with their original timing, counted from the connection."),
        QStringLiteral("file"));
    const QCommandLineOption idleOption(QStringLiteral("exit-after-idle"),
        QStringLiteral("End once nothing crossed the link for this long and no wait is pending."),
        QStringLiteral("ms"));
    const QCommandLineOption summaryOption(QStringLiteral("summary"),
        QStringLiteral("At the end print what crossed the link, counted by kind."));
    parser.addOptions({helpOption, nameOption, scenarioOption, recordOption, replayOption, idleOption, summaryOption});

    if (!parser.parse(app.arguments()))
        return fail(parser.errorText() + QStringLiteral("\nTry 'mcu-sim --help'."));
    if (parser.isSet(helpOption)) {
        std::fputs((parser.helpText() + QLatin1Char('\n') + SimCommand::help()
                    + QStringLiteral("\nExit status: 0 done, 1 bad usage or scenario, 2 a wait-for timed out.\n"))
                       .toUtf8().constData(), stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument '%1'\nTry 'mcu-sim --help'.").arg(parser.positionalArguments().first()));
    if (parser.isSet(scenarioOption) && parser.isSet(replayOption))
        return fail(QStringLiteral("--scenario and --replay cannot be combined"));

    McuSimulator::Options options;
    options.name = parser.value(nameOption).toUtf8();
    options.summary = parser.isSet(summaryOption);
    if (parser.isSet(idleOption)) {
        bool ok = false;
        options.idleMs = parser.value(idleOption).toLongLong(&ok);
        if (!ok || options.idleMs < 0 || options.idleMs > 86400000)
            return fail(QStringLiteral("--exit-after-idle: expected milliseconds, 0 to 86400000"));
    }

    QVector<SimCommand> commands;
    QString error;
    if (parser.isSet(scenarioOption) && !loadScenario(parser.value(scenarioOption), &commands, &error))
        return fail(error);
    if (parser.isSet(replayOption) && !SessionRecorder::loadReplay(parser.value(replayOption), &commands, &error))
        return fail(error);

    McuSimulator sim(options);
    if (parser.isSet(recordOption) && !sim.record(parser.value(recordOption), &error))
        return fail(error);
    if (!sim.listen(&error))
        return fail(error);
    sim.quitOnSignals();
    sim.enqueue(commands);
    sim.readStdin();
    return app.exec();
}
