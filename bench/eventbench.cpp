// Event path: Application::notify plus the beep filter against a plain
// QApplication. The two application objects cannot live in one process, so
// the parent runs each in a child process of its own, alternately, and
// compares the children's per-event times.
#include "benchutil.h"

#include <QApplication>
#include <QPaintEvent>
#include <QWidget>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "application.h"
#include "hostframework.h"
#include "meventfilter.h"

namespace {

class Sink : public QObject
{
public:
    long delivered = 0;
    bool event(QEvent *e) override
    {
        if (e->type() == QEvent::User) {
            ++delivered;
            return true;
        }
        return QObject::event(e);
    }
};

// Nanoseconds per sendEvent, best of five batches.
double perEvent(QObject *receiver, QEvent *event, long n)
{
    for (long i = 0; i < n / 10; ++i)
        QCoreApplication::sendEvent(receiver, event);
    double bestNs = 1e18;
    for (int batch = 0; batch < 5; ++batch) {
        const int64_t t0 = Bench::threadCpuNs();
        for (long i = 0; i < n; ++i)
            QCoreApplication::sendEvent(receiver, event);
        bestNs = std::min(bestNs, double(Bench::threadCpuNs() - t0) / double(n));
    }
    return bestNs;
}

// The way most events travel: posted, then delivered by the event loop.
double perPostedEvent(QObject *receiver, long n)
{
    n /= 4;
    double bestNs = 1e18;
    for (int batch = 0; batch < 5; ++batch) {
        const int64_t t0 = Bench::threadCpuNs();
        for (long i = 0; i < n; ++i)
            QCoreApplication::postEvent(receiver, new QEvent(QEvent::User));
        QCoreApplication::sendPostedEvents(receiver, QEvent::User);
        bestNs = std::min(bestNs, double(Bench::threadCpuNs() - t0) / double(n));
    }
    return bestNs;
}

struct ChildResult
{
    double user = 0, paint = 0, hiddenUser = 0, hiddenPaint = 0, posted = 0;
    bool ok = false;
};

ChildResult runChild(const char *self, const char *which, long n)
{
    ChildResult r;
    int pipefd[2];
    if (pipe(pipefd) != 0)
        return r;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], STDOUT_FILENO);
        close(pipefd[0]);
        close(pipefd[1]);
        const std::string count = std::to_string(n);
        execl(self, self, "event-child", which, count.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(pipefd[1]);
    std::string text;
    char buf[512];
    for (ssize_t got; (got = read(pipefd[0], buf, sizeof buf)) > 0;)
        text.append(buf, size_t(got));
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    const size_t at = text.find("event-child:");
    if (at == std::string::npos || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return r;
    r.ok = std::sscanf(
               text.c_str() + at,
               "event-child: user=%lf paint=%lf hidden-user=%lf hidden-paint=%lf posted=%lf",
               &r.user, &r.paint, &r.hiddenUser, &r.hiddenPaint, &r.posted)
        == 5;
    return r;
}

} // namespace

int Bench::runEventChild(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    // launcher: Application with the beep filter, as main() sets it up; plain:
    // QApplication alone; the two halves apart: app (Application, no filter)
    // and filter (QApplication with the beep filter).
    const bool launcher = !std::strcmp(argv[1], "launcher");
    const bool application = launcher || !std::strcmp(argv[1], "app");
    const bool filter = launcher || !std::strcmp(argv[1], "filter");
    const long n = std::atol(argv[2]);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static int qargc = 1;
    static char arg0[] = "launcher-bench";
    static char *qargv[] = {arg0, nullptr};
    std::unique_ptr<QApplication> app(application ? new Application(qargc, qargv)
                                                  : new QApplication(qargc, qargv));
    if (filter)
        app->installEventFilter(MEventFilter::GetInstance());

    Sink sink;
    QEvent user(QEvent::User);
    QWidget widget;
    QPaintEvent paint(QRect(0, 0, 16, 16));
    HostFramework::setApVisible(true);
    ChildResult r;
    r.user = perEvent(&sink, &user, n);
    r.paint = perEvent(&widget, &paint, n);
    r.posted = perPostedEvent(&sink, n);
    // While hidden the plain application has nothing to skip: same figures.
    if (application)
        HostFramework::setApVisible(false);
    r.hiddenUser = perEvent(&sink, &user, n);
    r.hiddenPaint = perEvent(&widget, &paint, n);
    HostFramework::setApVisible(true);
    std::printf("event-child: user=%.2f paint=%.2f hidden-user=%.2f hidden-paint=%.2f posted=%.2f "
                "delivered=%ld\n",
                r.user, r.paint, r.hiddenUser, r.hiddenPaint, r.posted, sink.delivered);
    if (filter)
        MEventFilter::DeleteInstance();
    return 0;
}

int Bench::runEvent(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const long n = argc > 2 ? std::atol(argv[2]) : 200000;
    char self[4096];
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0)
        return 1;
    self[len] = '\0';

    const char *const variants[] = {"plain", "launcher", "app", "filter"};
    std::vector<ChildResult> runs[4];
    for (int r = 0; r < rounds; ++r) {
        for (int v = 0; v < 4; ++v) {
            const ChildResult res = runChild(self, variants[v], n);
            if (!res.ok) {
                std::fprintf(stderr, "event: the %s child failed\n", variants[v]);
                return 1;
            }
            runs[v].push_back(res);
        }
    }
    auto pick = [&](int v, double ChildResult::*field) {
        std::vector<double> values;
        for (const ChildResult &res : runs[v])
            values.push_back(res.*field);
        return best(values, false);
    };
    FILE *o = out();
    const double plainUser = pick(0, &ChildResult::user);
    const double plainPaint = pick(0, &ChildResult::paint);
    const double plainPosted = pick(0, &ChildResult::posted);
    const double oursUser = pick(1, &ChildResult::user);
    std::fprintf(
        o, "# event: CPU ns per event, best of %d rounds of 4 child processes x 5 batches of %ld\n",
        rounds, n);
    std::fprintf(o, "%-42s %9s %12s %7s\n", "event", "plain ns", "launcher ns", "ratio");
    auto row = [&](const char *what, double plain, double ours) {
        std::fprintf(o, "%-42s %9.1f %12.1f %7.3f\n", what, plain, ours, ours / plain);
    };
    row("User via sendEvent, delivered (visible)", plainUser, oursUser);
    row("User via sendEvent, delivered (hidden)", plainUser, pick(1, &ChildResult::hiddenUser));
    row("User posted + event loop, delivered", plainPosted, pick(1, &ChildResult::posted));
    row("Paint via sendEvent, delivered (visible)", plainPaint, pick(1, &ChildResult::paint));
    row("Paint via sendEvent, swallowed (hidden)", plainPaint, pick(1, &ChildResult::hiddenPaint));
    row("  breakdown: Application::notify alone", plainUser, pick(2, &ChildResult::user));
    row("  breakdown: beep filter alone", plainUser, pick(3, &ChildResult::user));
    std::fprintf(
        o, "event: delivered non-key event (sendEvent), launcher / plain: %.3f (target <= 1.10)\n",
        oursUser / plainUser);
    return 0;
}
