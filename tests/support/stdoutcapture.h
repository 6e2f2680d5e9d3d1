#ifndef STDOUTCAPTURE_H
#define STDOUTCAPTURE_H

#include <QByteArray>

// Redirects the process's standard output (descriptor 1, so printf and puts
// from any thread) into memory for the lifetime of the object.
class StdoutCapture
{
public:
    StdoutCapture();
    // Restores standard output; the captured text is echoed to stderr when
    // the current test has failed, so nothing needed for diagnosis is lost.
    ~StdoutCapture();

    // Everything written so far.
    QByteArray text() const;
    // How often line (a whole line, newline included) was written so far.
    int count(const QByteArray &line) const;

private:
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    int m_savedFd = -1;
    int m_captureFd = -1;
};

#endif
