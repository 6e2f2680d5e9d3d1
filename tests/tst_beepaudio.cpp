// A beep request through the filter is really heard: a private sound server
// with a null sink plays it, and a recording of the sink's monitor is measured.

#include <QSound>
#include <QtTest>

#include "datasavecontrol.h"
#include "meventfilter.h"
#include "setupstridconst.h"

class TestBeepAudio : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    // Killed and waited for by their destructors, whatever happens.
    QProcess m_server;
    QProcess m_recorder;

private Q_SLOTS:
    void initTestCase()
    {
        for (const char *tool : {"pulseaudio", "pactl", "parec", "sox"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
                const QByteArray why = tool
                    + QByteArray(" is missing: install pulseaudio, pulseaudio-utils and sox");
                // The CI run installs them: there a missing tool is a failure.
                if (qEnvironmentVariableIsSet("LAUNCHER_TEST_REQUIRE_AUDIO"))
                    QFAIL(why.constData());
                QSKIP(why.constData());
            }
        }
        // Everything the server writes stays in the temporary directory.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"PULSE_RUNTIME_PATH", "PULSE_STATE_PATH", "XDG_RUNTIME_DIR",
                                 "XDG_CONFIG_HOME", "HOME"})
            env.insert(QLatin1String(name), m_dir.path());
        m_server.setProcessEnvironment(env);
        const QString socket = m_dir.filePath(QStringLiteral("native"));
        m_server.start(QStringLiteral("pulseaudio"),
                       {"--daemonize=no", "--exit-idle-time=-1", "-n",
                        "--load=module-null-sink sink_name=null",
                        "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket});
        // This process, the recorder and pactl all talk to it, and keep their files here too.
        qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(socket));
        qputenv("HOME", QFile::encodeName(m_dir.path()));
        QTRY_COMPARE_WITH_TIMEOUT(QProcess::execute(QStringLiteral("pactl"), {"stat"}), 0, 15000);
    }

    void beepIsHeard()
    {
        // Volume 25 selects 4.wav, a 1046.5 Hz tone of 150 ms.
        DataSaveControl::writeSettingData(SetupStrIdConst::setupAlterVolume, 25, QString());
        const QString raw = m_dir.filePath(QStringLiteral("rec.raw"));
        m_recorder.setStandardOutputFile(raw);
        m_recorder.start(QStringLiteral("parec"),
                         {"--latency-msec=20", "--device=null.monitor", "--format=s16le",
                          "--rate=44100", "--channels=1", "--raw"});
        // Half a second of silence first, so the recorder's start cannot cut the beep.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(raw).size() >= 44100, 15000);

        qApp->installEventFilter(MEventFilter::GetInstance());
        QKeyEvent request(QEvent::KeyPress, Qt::Key_Meta, Qt::NoModifier, QStringLiteral("beep"));
        QCoreApplication::sendEvent(this, &request);
        QTRY_VERIFY_WITH_TIMEOUT(
            MEventFilter::GetInstance()->findChildren<QSound *>().last()->isFinished(), 15000);
        const qint64 played = QFileInfo(raw).size();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(raw).size() >= played + 44100, 15000);
        m_recorder.terminate();
        QVERIFY(m_recorder.waitForFinished(5000));

        // From the first sample above 1 % of full scale, 100 ms of the tone.
        QProcess sox;
        sox.start(QStringLiteral("sox"),
                  {"-t", "raw",     "-r", "44100", "-e", "signed", "-b", "16",  "-c",  "1", raw,
                   "-n", "silence", "1",  "0.002", "1%", "trim",   "0",  "0.1", "stat"});
        QVERIFY(sox.waitForFinished(30000));
        const QString stat = QString::fromLocal8Bit(sox.readAllStandardError());
        const auto value = [&stat](const char *name) {
            return QRegularExpression(name + QStringLiteral(":\\s+([0-9.]+)"))
                .match(stat)
                .captured(1)
                .toDouble();
        };
        QVERIFY2(value("RMS\\s+amplitude") > 0.2, qPrintable(stat));
        QVERIFY2(qAbs(value("Rough\\s+frequency") - 1046.5) < 50, qPrintable(stat));
    }
};

QTEST_MAIN(TestBeepAudio)
#include "tst_beepaudio.moc"
