#include "simcommand.h"

#include <QRegularExpression>
#include <QStringList>

#include "commandargs.h"
#include "framekind.h"

namespace {

const qint64 DefaultWaitForMs = 10000;

bool parseWait(CommandArgs &a, SimCommand *cmd)
{
    if (!a.count(1, QStringLiteral("'wait <milliseconds>'"))
        || !CommandArgs::parseNumber(a.args().at(0), 0, 86400000, &cmd->ms))
        return a.fail(QStringLiteral("'wait <milliseconds>'"));
    return true;
}

bool parseCheck(CommandArgs &a, SimCommand *cmd)
{
    const bool expect = cmd->kind == SimCommand::Expect;
    const QString what = expect ? QStringLiteral("'expect <Kind> [field=value ...] [timeout ms]'")
                                : QStringLiteral("'wait-for <Kind> [timeout ms]'");
    cmd->ms = DefaultWaitForMs;
    if (a.args().isEmpty())
        return a.fail(what);
    cmd->word = a.args().at(0);
    // A kind the launcher never sends would only time out, long after the typo.
    const QStringList kinds = FrameKind::names(FrameKind::FromLauncher);
    if (!kinds.contains(cmd->word, Qt::CaseInsensitive))
        return a.fail(QStringLiteral("a kind of frame the launcher sends (%1), got \"%2\"")
                          .arg(kinds.join(QStringLiteral(", ")), cmd->word));
    static const QRegularExpression token(QStringLiteral("(\\w+)=(?:\"([^\"]*)\"|(\\S*))|(\\S+)"));
    auto it = token.globalMatch(a.rest(), a.args().at(0).size());
    while (it.hasNext()) {
        const auto m = it.next();
        if (m.capturedStart(4) < 0 && expect) {
            cmd->fields.append(
                {m.captured(1), m.capturedStart(2) >= 0 ? m.captured(2) : m.captured(3)});
            continue;
        }
        if (it.hasNext() || !CommandArgs::parseNumber(m.captured(0), 0, 86400000, &cmd->ms))
            return a.fail(what);
    }
    return true;
}

bool parseNoArguments(CommandArgs &a, SimCommand *cmd)
{
    return a.count(0, QStringLiteral("no arguments after '%1'").arg(cmd->name));
}

// The commands that send no frame; those that do are in FrameKind::all().
struct Control
{
    const char *name;
    SimCommand::Kind kind;
    const char *usage;
    const char *help; // "{kinds}": the kinds of frame the launcher sends
    bool (*parse)(CommandArgs &, SimCommand *);
};

const Control controls[] = {
    {"wait", SimCommand::Wait, "wait <ms>", "pause", parseWait},
    {"wait-for", SimCommand::WaitFor, "wait-for <Kind> [ms]",
     "wait for a frame from the launcher (default 10000 ms),\nKind as printed: {kinds}", parseCheck},
    {"expect", SimCommand::Expect, "expect <Kind> [field=value ...] [ms]",
     "like wait-for, and check the frame's fields: the name=value\n"
     "parts of its line (TimeReply: seconds, date, time, count),\n"
     "e.g. expect TimeReply date=2022-01-01;\n"
     "expect VersionReply sdk=\"HOSTFW_SDK_1.0\" count=49",
     parseCheck},
    {"help", SimCommand::Help, "help", "this list", parseNoArguments},
    {"quit", SimCommand::Quit, "quit", "end the session", parseNoArguments},
};

QStringList commandNames()
{
    QStringList names;
    for (const FrameKind &k : FrameKind::all()) {
        if (!k.command.isEmpty())
            names << k.command;
    }
    for (const Control &c : controls)
        names << QString::fromLatin1(c.name);
    return names;
}

// Descriptions start in column 29 and end by column 90, on the next line
// where the usage leaves no room for them.
QString helpLine(const QString &usage, const QString &description)
{
    const int column = 29, width = 90 - column;
    const QString indent(column, QLatin1Char(' '));
    QStringList lines;
    const QStringList paragraphs = description.split(QLatin1Char('\n'));
    for (const QString &paragraph : paragraphs) {
        QString line;
        const QStringList words = paragraph.split(QLatin1Char(' '));
        for (const QString &word : words) {
            if (!line.isEmpty() && line.size() + 1 + word.size() > width) {
                lines << line;
                line.clear();
            }
            line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
        }
        lines << line;
    }
    QString out = QStringLiteral("  ") + usage;
    if (out.size() < column)
        out = out.leftJustified(column);
    else
        out += lines.size() > 1 ? QLatin1Char('\n') + indent : QStringLiteral("  ");
    return out + lines.join(QLatin1Char('\n') + indent) + QLatin1Char('\n');
}

} // namespace

bool SimCommand::parse(const QString &line, SimCommand *cmd, QString *error)
{
    *cmd = SimCommand();
    cmd->text = line.trimmed();
    if (cmd->text.isEmpty() || cmd->text.startsWith(QLatin1Char('#')))
        return true;

    const int space = cmd->text.indexOf(QRegularExpression(QStringLiteral("\\s")));
    cmd->name = space < 0 ? cmd->text : cmd->text.left(space);
    CommandArgs args(space < 0 ? QString() : cmd->text.mid(space + 1).trimmed(), error);
    if (const FrameKind *kind = FrameKind::byCommand(cmd->name)) {
        cmd->kind = Send;
        return kind->build(args, &cmd->bytes);
    }
    for (const Control &c : controls) {
        if (cmd->name == QLatin1String(c.name)) {
            cmd->kind = c.kind;
            return c.parse(args, cmd);
        }
    }
    return args.fail(QStringLiteral("a command (%1), got \"%2\"")
                         .arg(commandNames().join(QStringLiteral(", ")), cmd->name));
}

QString SimCommand::help()
{
    QString out = QStringLiteral(
        "Commands (one per line; numbers decimal or 0x-hex; '#' starts a comment line):\n");
    for (const FrameKind &k : FrameKind::all()) {
        if (!k.command.isEmpty())
            out += helpLine(k.usage, k.help);
    }
    const QString kinds = FrameKind::names(FrameKind::FromLauncher).join(QStringLiteral(", "));
    for (const Control &c : controls)
        out += helpLine(QString::fromLatin1(c.usage),
                        QString::fromUtf8(c.help).replace(QLatin1String("{kinds}"), kinds));
    return out;
}
