#include "stdoutcapture.h"

#include <QTest>

#include <cstdio>
#include <sys/mman.h>
#include <sys/stat.h>
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
        std::fprintf(stderr, "--- captured standard output ---\n%s--- end ---\n", captured.constData());
    }
    close(m_captureFd);
}

QByteArray StdoutCapture::text() const
{
    std::fflush(stdout);
    struct stat st;
    if (fstat(m_captureFd, &st) != 0)
        return QByteArray();
    QByteArray out(int(st.st_size), '\0');
    qsizetype done = 0;
    while (done < out.size()) {
        const ssize_t n = pread(m_captureFd, out.data() + done, size_t(out.size() - done), done);
        if (n <= 0)
            break;
        done += n;
    }
    out.truncate(int(done));
    return out;
}

int StdoutCapture::count(const QByteArray &line) const
{
    // Every piece but the last ended with a newline.
    QList<QByteArray> pieces = text().split('\n');
    pieces.removeLast();
    return line.endsWith('\n') ? int(pieces.count(line.chopped(1))) : 0;
}
