#include <QSound>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "clockrecorder.h"
#include "datasavecontrol.h"
#include "hostframework.h"
#include "journalcalls.h"
#include "journallines.h"
#include "messagecapture.h"
#include "meventfilter.h"
#include "setupstridconst.h"
#include "unixaddress.h"

// A press of the key the framework sends for a beep ("beep"), of the same key
// with other text ("Beep"), of an ordinary key, or of the mouse.
enum Press { Beep, Capital, Left, Mouse };
struct PressAt
{
    int ms;
    Press press;
};
using Presses = QVector<PressAt>;
Q_DECLARE_METATYPE(Presses)

class TestMEventFilter : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    ClockRecorder m_clock;
    // The debounce state outlives every instance: each case starts later.
    QDateTime m_start = QDateTime::currentDateTime();
    QScopedPointer<MessageCapture> m_log;

    // Qt's sample cache (5.15) loses count of its loads when a sound is asked
    // for while its loader thread winds down after the previous load, and the
    // next release then waits forever. Real presses never come microseconds
    // after a load; here they would, so wait for the loader to end first.
    // Polled without an event loop, which would let a playing sound finish.
    static void waitForSampleLoader()
    {
        const auto loading = [] {
            for (const QFileInfo &task : QDir(QStringLiteral("/proc/self/task"))
                                             .entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
                QFile comm(task.filePath() + QStringLiteral("/comm"));
                if (comm.open(QIODevice::ReadOnly) && comm.readAll().startsWith("QSampleCache"))
                    return true;
            }
            return false;
        };
        for (int ms = 0; ms < 5000 && loading(); ++ms)
            QThread::msleep(1);
    }

    // Sends the press at that time; true if the filter accepted it.
    bool press(int atMs, Press what)
    {
        waitForSampleLoader();
        m_clock.fixedNow = m_start.addMSecs(atMs);
        QMouseEvent mouse(QEvent::MouseButtonPress, QPointF(1, 1), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QKeyEvent beep(QEvent::KeyPress, Qt::Key_Meta, Qt::NoModifier, QStringLiteral("beep"));
        QKeyEvent capital(QEvent::KeyPress, Qt::Key_Meta, Qt::NoModifier, QStringLiteral("Beep"));
        QKeyEvent left(QEvent::KeyPress, Qt::Key_Left, Qt::NoModifier);
        QEvent *const events[] = {&beep, &capital, &left, &mouse};
        QEvent *event = events[what];
        event->ignore();
        // Never filtered: the press goes on to its target in any case.
        return !MEventFilter::GetInstance()->eventFilter(this, event) && event->isAccepted();
    }
    // Each press at its time, the sound stopped after each (no overlap); how many were accepted.
    int pressAll(const Presses &presses)
    {
        int accepted = 0;
        for (const PressAt &p : presses) {
            accepted += press(p.ms, p.press);
            loaded()->stop();
        }
        return accepted;
    }
    // Beeps that got past the debounce and the overlap check.
    int beeps()
    {
        return journalCount(QLatin1String(JournalCall::readSettingData),
                            SetupStrIdConst::setupSysBeep);
    }
    // The newest child is the current sound; a replaced one waits for deleteLater.
    // A beep at volume 25 and, once it is over, one at 5.
    void beepAtVolumeThenLower()
    {
        store(SetupStrIdConst::setupAlterVolume, 25);
        press(0, Beep);
        loaded()->stop();
        store(SetupStrIdConst::setupAlterVolume, 5);
        press(1000, Beep);
    }

    QSound *loaded() { return MEventFilter::GetInstance()->findChildren<QSound *>().last(); }
    QString loadedFile() { return QFileInfo(loaded()->fileName()).fileName(); }
    void store(const QString &key, const QVariant &value)
    {
        DataSaveControl::writeSettingData(key, value, QString());
    }

private Q_SLOTS:
    void initTestCase()
    {
        // A sound server that drops every connection at once: AppData sees it
        // reachable, the sound backend gives up on it without hanging.
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const QByteArray path = QFile::encodeName(m_dir.filePath(QStringLiteral("native")));
        const UnixAddress addr(path.constData(), size_t(path.size()));
        QVERIFY(addr.isValid() && bind(fd, addr.address(), addr.length()) == 0
                && listen(fd, 16) == 0);
        std::thread([fd] {
            for (int c; (c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
                close(c);
        }).detach();
        qputenv("PULSE_SERVER", "unix:" + path);
        SystemClock::setInstance(&m_clock);
        m_log.reset(new MessageCapture);
    }
    void init()
    {
        HostFramework::clearSettings();
        m_start = m_start.addSecs(100);
        MEventFilter::DeleteInstance();
        MEventFilter::GetInstance();
        Journal::instance()->clear();
        m_log->take();
    }

    void debounce_data()
    {
        QTest::addColumn<Presses>("presses");
        QTest::addColumn<int>("beeps");
        QTest::newRow("120 ms apart") << Presses {{0, Beep}, {120, Beep}} << 1;
        QTest::newRow("121 ms apart") << Presses {{0, Beep}, {121, Beep}} << 2;
        QTest::newRow("ordinary key, beep 50 ms later") << Presses {{0, Left}, {50, Beep}} << 0;
        QTest::newRow("Beep restarts the period") << Presses {{0, Capital}, {100, Beep}} << 0;
        QTest::newRow("ignored press does not extend")
            << Presses {{0, Beep}, {100, Left}, {121, Beep}} << 2;
        QTest::newRow("passed press does extend")
            << Presses {{0, Beep}, {121, Left}, {200, Beep}} << 1;
        QTest::newRow("mouse press does not count")
            << Presses {{0, Beep}, {200, Mouse}, {250, Beep}} << 2;
        QTest::newRow("clock went backwards") << Presses {{0, Beep}, {-5000, Beep}} << 2;
    }

    void debounce()
    {
        QFETCH(Presses, presses);
        QFETCH(int, beeps);
        store(SetupStrIdConst::setupAlterVolume, 25);
        const int accepted = pressAll(presses);

        QCOMPARE(this->beeps(), beeps);
        // Marked accepted when it asked for a beep.
        QCOMPARE(accepted, beeps);
        QCOMPARE(m_log->take(),
                 beeps ? QStringList(QStringLiteral("==================>>>>vol 25"))
                       : QStringList());
        QCOMPARE(loadedFile(), beeps ? QStringLiteral("4.wav") : QStringLiteral("1.wav"));
    }

    void silentBeep_data()
    {
        QTest::addColumn<bool>("beepOn");
        QTest::addColumn<QByteArray>("soundServer");
        QTest::newRow("beep off") << false << qgetenv("PULSE_SERVER");
        QTest::newRow("audio not ready") << true << QByteArray("unix:/nonexistent");
    }

    // Accepted, but no sound is loaded or played.
    void silentBeep()
    {
        QFETCH(bool, beepOn);
        QFETCH(QByteArray, soundServer);
        store(SetupStrIdConst::setupSysBeep, beepOn);
        store(SetupStrIdConst::setupAlterVolume, 25);
        const QByteArray ours = qgetenv("PULSE_SERVER");
        qputenv("PULSE_SERVER", soundServer);
        const int accepted = pressAll({{0, Beep}});
        qputenv("PULSE_SERVER", ours);

        QCOMPARE(beeps(), 1);
        QCOMPARE(accepted, 1);
        QCOMPARE(m_log->take(), QStringList());
        QCOMPARE(loadedFile(), QStringLiteral("1.wav"));
    }

    void volumeChoosesFile_data()
    {
        QTest::addColumn<int>("volume");
        QTest::addColumn<QString>("file");
        const QString files[] = {"1.wav", "1.wav", "2.wav", "2.wav", "3.wav",
                                 "3.wav", "4.wav", "4.wav", "5.wav", "1.wav"};
        const int volumes[] = {10, 0, 11, 15, 16, 20, 21, 30, 31, -5};
        for (int i = 0; i < 10; ++i)
            QTest::addRow("volume %d", volumes[i]) << volumes[i] << files[i];
    }

    void volumeChoosesFile()
    {
        QFETCH(int, volume);
        QFETCH(QString, file);
        store(SetupStrIdConst::setupAlterVolume, volume);
        QCOMPARE(pressAll({{0, Beep}}), 1);
        QCOMPARE(m_log->take(),
                 QStringList(QStringLiteral("==================>>>>vol %1").arg(volume)));
        QCOMPARE(loadedFile(), file);
    }

    // The desktop default is 15.
    void firstBeepAtDefaultVolume()
    {
        QCOMPARE(pressAll({{0, Beep}}), 1);
        QCOMPARE(m_log->take(), QStringList(QStringLiteral("==================>>>>vol 15")));
        QCOMPARE(loadedFile(), QStringLiteral("2.wav"));
    }

    void sameVolumeKeepsTheSound()
    {
        store(SetupStrIdConst::setupAlterVolume, 12);
        waitForSampleLoader();
        QVERIFY(QMetaObject::invokeMethod(MEventFilter::GetInstance(), "playSound"));
        // Silent while the first one plays, however late.
        QVERIFY(press(5000, Beep));
        QCOMPARE(beeps(), 1);
        loaded()->stop();
        press(10000, Beep);
        loaded()->stop();
        store(SetupStrIdConst::setupAlterVolume, 14);
        press(15000, Beep);
        // Loaded afresh for another volume only, even one for the same file.
        QCOMPARE(beeps(), 3);
        QCOMPARE(m_log->take(),
                 QStringList({"==================>>>>vol 12", "==================>>>>vol 14"}));
    }

    void lowerVolumeLoadsItsFile()
    {
        beepAtVolumeThenLower();
        QCOMPARE(beeps(), 2);
        QCOMPARE(loadedFile(), QStringLiteral("1.wav"));
    }

    // A sound replaced for another volume goes once the event loop is done with it.
    void replacedSoundIsFreed()
    {
        beepAtVolumeThenLower();
        QTRY_COMPARE(MEventFilter::GetInstance()->findChildren<QSound *>().size(), 1);
    }
};

QTEST_MAIN(TestMEventFilter)
#include "tst_meventfilter.moc"
