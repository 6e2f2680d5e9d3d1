#include <QCoreApplication>

#include <cstdio>

#include "commandline.h"
#include "controlchannel.h"
#include "mcusimulator.h"
#include "scenariofile.h"
#include "sessionrecorder.h"
#include "simcommand.h"

namespace {

int fail(const QString &message)
{
    std::fputs(message.toUtf8().append('\n').constData(), stderr);
    return McuSimulator::BadUsage;
}

// One command into the session running on the name.
int sendOne(const CommandLine &line)
{
    SimCommand cmd;
    QString error;
    if (!SimCommand::parse(line.sendLine, &cmd, &error))
        return fail(QStringLiteral("mcu-sim send: ") + error);
    if (cmd.kind != SimCommand::Send && cmd.kind != SimCommand::Quit)
        return fail(QStringLiteral("mcu-sim send: expected a frame command or 'quit'"));
    return ControlChannel::send(line.options.name, cmd.text);
}

int run(const CommandLine &line)
{
    QString error;
    QVector<SimCommand> commands;
    if (!line.scenario.isEmpty()) {
        const QString path = ScenarioFile::find(line.scenario, &error);
        if (path.isEmpty() || !ScenarioFile::load(path, &commands, &error))
            return fail(error);
    }
    if (!line.replayPath.isEmpty()
        && !SessionRecorder::loadReplay(line.replayPath, line.replay, &commands, &error))
        return fail(error);

    McuSimulator sim(line.options);
    if (!line.recordPath.isEmpty() && !sim.record(line.recordPath, &error))
        return fail(error);
    if (!line.pcapPath.isEmpty() && !sim.capture(line.pcapPath, &error))
        return fail(error);
    if (!sim.listen(&error))
        return fail(error);
    // One-shot sends are a convenience: without them the session still runs.
    if (!sim.listenControl(&error))
        std::fprintf(stderr, "mcu-sim: no one-shot sends into this session: %s\n",
                     qPrintable(error));
    sim.quitOnSignals();
    sim.enqueue(commands);
    if (line.readInput)
        sim.readStdin();
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(MCU_SIM_VERSION));
    // Others read this output as it happens (tests, pipes, tee).
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    CommandLine line;
    QString error;
    if (!line.parse(app.arguments(), &error))
        return fail(error);
    switch (line.action) {
    case CommandLine::Help:
        std::fputs(line.helpText.toUtf8().constData(), stdout);
        return McuSimulator::Passed;
    case CommandLine::Version:
        std::printf("mcu-sim %s\n", MCU_SIM_VERSION);
        return McuSimulator::Passed;
    case CommandLine::Send:
        return sendOne(line);
    case CommandLine::Convert:
        if (!SessionRecorder::convert(line.convertPath, line.pcapPath, &error))
            return fail(error);
        return McuSimulator::Passed;
    case CommandLine::Run:
        break;
    }
    return run(line);
}
