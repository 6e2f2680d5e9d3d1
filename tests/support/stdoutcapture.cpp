#include "stdoutcapture.h"

#include <QTest>

#include <cstdio>
#include <sys/mman.h>
#include <unistd.h>

StdoutCapture::StdoutCapture()
{
    std::fflush(stdout);
    m_captureFd = memfd_create("stdout-capture", MFD_CLOEXEC);
    m_savedFd = dup(STDOUT_FILENO);
    dup2(m_captureFd, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture()
{
    std::fflush(stdout);
    dup2(m_savedFd, STDOUT_FILENO);
    close(m_savedFd);
    if (QTest::currentTestFailed()) {
        const QByteArray captured = text();
        std::fprintf(stderr, "--- captured standard output ---\n%s--- end ---\n",
                     captured.constData());
    }
    close(m_captureFd);
}

QByteArray StdoutCapture::text() const
{
    std::fflush(stdout);
    // pread: the descriptor's offset is standard output's, and must stay at the end.
    QByteArray out;
    char chunk[4096];
    for (;;) {
        const ssize_t n = pread(m_captureFd, chunk, sizeof chunk, out.size());
        if (n <= 0)
            return out;
        out.append(chunk, int(n));
    }
}

int StdoutCapture::count(const QByteArray &line) const
{
    // Every piece but the last ended with a newline.
    QList<QByteArray> pieces = text().split('\n');
    pieces.removeLast();
    return line.endsWith('\n') ? int(pieces.count(line.chopped(1))) : 0;
}
