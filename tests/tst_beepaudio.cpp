// A beep request through the filter is really heard: a private sound server
// with a null sink plays it, and a recording of the sink's monitor is measured.

#include <QFileInfo>
#include <QKeyEvent>
#include <QProcess>
#include <QRegularExpression>
#include <QSound>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

#include "appdata.h"
#include "datasavecontrol.h"
#include "hostframework.h"
#include "meventfilter.h"
#include "setupstridconst.h"

namespace {

QStringList s_log;

void captureLog(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type == QtDebugMsg)
        s_log << msg;
}

// Raw recording format: what parec writes and sox reads.
const int rate = 44100;
const int bytesPerSecond = rate * 2 * 2;
// Volume 25 selects 4.wav, the 1046.5 Hz tone.
const int volume = 25;
const double toneHz = 1046.5;

struct Stat {
    double rms = -1;
    double frequency = -1;
    QString text;
};

// stat reads one channel: on interleaved stereo its frequency estimate is off.
Stat measure(const QString &raw, const QStringList &effects)
{
    QProcess sox;
    sox.start(QStringLiteral("sox"), QStringList({"-t", "raw", "-r", QString::number(rate), "-e", "signed",
                                                  "-b", "16", "-c", "2", raw, "-n"})
                                         + effects + QStringList({"remix", "1", "stat"}));
    Stat stat;
    if (!sox.waitForFinished(30000))
        return stat;
    stat.text = QString::fromLocal8Bit(sox.readAllStandardError());
    const QRegularExpression rms(QStringLiteral("RMS\\s+amplitude:\\s+([0-9.]+)"));
    const QRegularExpression freq(QStringLiteral("Rough\\s+frequency:\\s+([0-9.]+)"));
    stat.rms = rms.match(stat.text).hasMatch() ? rms.match(stat.text).captured(1).toDouble() : -1;
    stat.frequency = freq.match(stat.text).hasMatch() ? freq.match(stat.text).captured(1).toDouble() : -1;
    return stat;
}

qint64 fileSize(const QString &path)
{
    return QFileInfo(path).size();
}

} // namespace

class TestBeepAudio : public QObject
{
    Q_OBJECT

public:
    ~TestBeepAudio() override { stopProcesses(); }

private:
    QTemporaryDir m_dir;
    QProcess m_server;
    QProcess m_recorder;
    QString m_socket;

    // Stopped by process id, and only the processes this test started.
    void stopProcess(QProcess &p)
    {
        if (p.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(p.processId()), SIGTERM);
        if (!p.waitForFinished(5000)) {
            ::kill(pid_t(p.processId()), SIGKILL);
            p.waitForFinished(5000);
        }
    }

    void stopProcesses()
    {
        stopProcess(m_recorder);
        stopProcess(m_server);
    }

    bool serverHasNullSink()
    {
        QProcess pactl;
        pactl.start(QStringLiteral("pactl"), {"--server=unix:" + m_socket, "list", "short", "sinks"});
        return pactl.waitForFinished(5000) && pactl.exitCode() == 0
            && pactl.readAllStandardOutput().contains("null");
    }

private Q_SLOTS:
    void initTestCase()
    {
        for (const char *tool : {"pulseaudio", "pactl", "parec", "sox"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed: the audible beep needs the packages "
                                                "pulseaudio, pulseaudio-utils and sox").arg(tool)));
        }
        QVERIFY(m_dir.isValid());
        const QString runtime = m_dir.path();
        m_socket = m_dir.filePath(QStringLiteral("native"));

        // Everything the server writes stays in the temporary directory.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("PULSE_SERVER"));
        for (const char *name : {"PULSE_RUNTIME_PATH", "XDG_RUNTIME_DIR", "HOME"})
            env.insert(QLatin1String(name), runtime);
        env.insert(QStringLiteral("PULSE_STATE_PATH"), runtime + QStringLiteral("/state"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), runtime + QStringLiteral("/config"));
        m_server.setProcessEnvironment(env);
        m_server.setProcessChannelMode(QProcess::MergedChannels);
        m_server.setStandardOutputFile(m_dir.filePath(QStringLiteral("server.log")));
        m_server.start(QStringLiteral("pulseaudio"), {"--daemonize=no", "--system=false", "--exit-idle-time=-1",
                                                      "--disallow-exit", "-n", "--load=module-null-sink sink_name=null",
                                                      "--load=module-native-protocol-unix auth-anonymous=1 socket=" + m_socket});
        QVERIFY2(m_server.waitForStarted(5000), qPrintable(m_server.errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(serverHasNullSink() || m_server.state() == QProcess::NotRunning, 15000);
        QVERIFY2(m_server.state() == QProcess::Running, "the sound server stopped; see server.log");

        // The client side of this process: before the first sound is created.
        qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(m_socket));
        qputenv("HOME", QFile::encodeName(runtime));
    }

    void cleanupTestCase()
    {
        qApp->removeEventFilter(MEventFilter::GetInstance());
        MEventFilter::DeleteInstance();
        stopProcesses();
    }

    void beepIsHeard()
    {
        HostFramework::clearSettings();
        DataSaveControl::writeSettingData(SetupStrIdConst::setupSysBeep, true, QString());
        DataSaveControl::writeSettingData(SetupStrIdConst::setupAlterVolume, volume, QString());
        QVERIFY(AppData::GetInstance()->AudioInitOK());
        qApp->installEventFilter(MEventFilter::GetInstance());

        const QString raw = m_dir.filePath(QStringLiteral("rec.raw"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + m_socket);
        m_recorder.setProcessEnvironment(env);
        m_recorder.setStandardOutputFile(raw);
        m_recorder.setStandardErrorFile(m_dir.filePath(QStringLiteral("parec.log")));
        m_recorder.start(QStringLiteral("parec"), {"--latency-msec=20", "--device=null.monitor", "--format=s16le",
                                                   QStringLiteral("--rate=%1").arg(rate), "--channels=2", "--raw"});
        QVERIFY2(m_recorder.waitForStarted(5000), qPrintable(m_recorder.errorString()));
        // About a second of silence first, so the beep is not cut by the recorder's start.
        QTRY_VERIFY_WITH_TIMEOUT(fileSize(raw) >= bytesPerSecond, 15000);
        const qint64 silentBytes = fileSize(raw);

        s_log.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureLog);
        QObject target;
        QKeyEvent request(QEvent::KeyPress, Qt::Key_Meta, Qt::NoModifier, QStringLiteral("beep"));
        QCoreApplication::sendEvent(&target, &request);
        qInstallMessageHandler(previous);
        QCOMPARE(s_log, QStringList(QStringLiteral("==================>>>>vol %1").arg(volume)));

        QSound *sound = MEventFilter::GetInstance()->findChildren<QSound *>().last();
        QVERIFY(sound->fileName().endsWith(QLatin1String("/4.wav")));
        // The null sink's latency is loose: only that it ends at all.
        QTRY_VERIFY_WITH_TIMEOUT(sound->isFinished(), 15000);
        const qint64 afterBeep = fileSize(raw);
        QTRY_VERIFY_WITH_TIMEOUT(fileSize(raw) >= afterBeep + bytesPerSecond / 2, 15000);
        stopProcess(m_recorder);

        const Stat whole = measure(raw, {});
        const Stat before = measure(raw, {"trim", "0", QString::number(double(silentBytes) / bytesPerSecond / 2)});
        // From the first sample above 1 % of full scale, 100 ms of the 150 ms tone.
        const Stat tone = measure(raw, {"silence", "1", "0.002", "1%", "trim", "0", "0.1"});
        qInfo("recording: %.2f s, RMS %.4f; before the beep RMS %.5f; tone RMS %.4f, rough frequency %.0f Hz",
              double(fileSize(raw)) / bytesPerSecond, whole.rms, before.rms, tone.rms, tone.frequency);

        QVERIFY2(before.rms >= 0 && before.rms < 0.001, qPrintable(before.text));
        QVERIFY2(whole.rms > 0.02, qPrintable(whole.text));
        QVERIFY2(tone.rms > 0.2, qPrintable(tone.text));
        QVERIFY2(qAbs(tone.frequency - toneHz) < toneHz * 0.05, qPrintable(tone.text));
    }
};

QTEST_MAIN(TestBeepAudio)
#include "tst_beepaudio.moc"
