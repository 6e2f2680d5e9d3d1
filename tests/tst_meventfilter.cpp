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

    // Sends "beep", "Beep", "left" (a key) or "mouse" at that time; true if accepted.
    bool press(int atMs, const QString &what)
    {
        waitForSampleLoader();
        m_clock.fixedNow = m_start.addMSecs(atMs);
        QMouseEvent mouse(QEvent::MouseButtonPress, QPointF(1, 1), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        const bool left = what == QLatin1String("left");
        QKeyEvent key(QEvent::KeyPress, left ? Qt::Key_Left : Qt::Key_Meta, Qt::NoModifier,
                      left ? QString() : what);
        QEvent *event = what == QLatin1String("mouse") ? static_cast<QEvent *>(&mouse) : &key;
        event->ignore();
        // Never filtered: the press goes on to its target in any case.
        return !MEventFilter::GetInstance()->eventFilter(this, event) && event->isAccepted();
    }
    // Beeps that got past the debounce and the overlap check.
    int beeps()
    {
        return journalCount(QLatin1String(JournalCall::readSettingData),
                            SetupStrIdConst::setupSysBeep);
    }
    // The newest child is the current sound; a replaced one waits for deleteLater.
    QSound *loaded() { return MEventFilter::GetInstance()->findChildren<QSound *>().last(); }
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

    void beep_data()
    {
        QTest::addColumn<QStringList>("events"); // "<ms>:<beep|Beep|left|mouse>"
        QTest::addColumn<QVariantList>("settings"); // beep switch, volume, sound server
        QTest::addColumn<int>("beeps");
        QTest::addColumn<int>("file"); // 0: the constructor's sound stays, nothing logged
        const QByteArray ours = qgetenv("PULSE_SERVER");
        const auto debounce = [&](const char *name, const QStringList &events, int beeps) {
            QTest::newRow(name) << events << QVariantList({true, 25, ours}) << beeps
                                << (beeps ? 4 : 0);
        };
        debounce("120 ms apart", {"0:beep", "120:beep"}, 1);
        debounce("121 ms apart", {"0:beep", "121:beep"}, 2);
        debounce("ordinary key, beep 50 ms later", {"0:left", "50:beep"}, 0);
        debounce("Beep restarts the period", {"0:Beep", "100:beep"}, 0);
        debounce("ignored press does not extend", {"0:beep", "100:left", "121:beep"}, 2);
        debounce("passed press does extend", {"0:beep", "121:left", "200:beep"}, 1);
        debounce("mouse press does not count", {"0:beep", "200:mouse", "250:beep"}, 2);
        debounce("clock went backwards", {"0:beep", "-5000:beep"}, 2);
        const QStringList one {"0:beep"};
        QTest::newRow("beep off") << one << QVariantList({false, 25, ours}) << 1 << 0;
        QTest::newRow("audio not ready")
            << one << QVariantList({true, 25, "unix:/nonexistent"}) << 1 << 0;
        // The desktop default is 15.
        QTest::newRow("first beep at the default")
            << one << QVariantList({true, {}, ours}) << 1 << 2;
        const int table[][2] = {{10, 1}, {11, 2}, {15, 2}, {16, 3}, {20, 3},
                                {21, 4}, {30, 4}, {31, 5}, {31, 5}, {-5, 1}};
        for (const auto &r : table)
            QTest::addRow("volume %d", r[0])
                << one << QVariantList({true, r[0], ours}) << 1 << r[1];
    }

    void beep()
    {
        QFETCH(QStringList, events);
        QFETCH(QVariantList, settings);
        QFETCH(int, beeps);
        QFETCH(int, file);
        store(SetupStrIdConst::setupSysBeep, settings.at(0));
        if (settings.at(1).isValid())
            store(SetupStrIdConst::setupAlterVolume, settings.at(1));
        const QByteArray ours = qgetenv("PULSE_SERVER");
        qputenv("PULSE_SERVER", settings.at(2).toByteArray());
        int accepted = 0;
        for (const QString &e : qAsConst(events)) {
            accepted += press(e.section(QLatin1Char(':'), 0, 0).toInt(),
                              e.section(QLatin1Char(':'), 1));
            loaded()->stop(); // no overlap here
        }
        qputenv("PULSE_SERVER", ours);

        QCOMPARE(this->beeps(), beeps);
        // Marked accepted when it asked for a beep, even one that stays silent.
        QCOMPARE(accepted, beeps);
        const int volume = settings.at(1).isValid() ? settings.at(1).toInt() : 15;
        const QString line = QStringLiteral("==================>>>>vol %1").arg(volume);
        QCOMPARE(m_log->take(), file ? QStringList(line) : QStringList());
        QVERIFY(loaded()->fileName().endsWith(QStringLiteral("/%1.wav").arg(qMax(file, 1))));
    }

    void sameVolumeKeepsTheSound()
    {
        store(SetupStrIdConst::setupAlterVolume, 12);
        waitForSampleLoader();
        QVERIFY(QMetaObject::invokeMethod(MEventFilter::GetInstance(), "playSound"));
        // Silent while the first one plays, however late.
        QVERIFY(press(5000, QStringLiteral("beep")));
        QCOMPARE(beeps(), 1);
        loaded()->stop();
        press(10000, QStringLiteral("beep"));
        loaded()->stop();
        store(SetupStrIdConst::setupAlterVolume, 14);
        press(15000, QStringLiteral("beep"));
        // Loaded afresh for another volume only, even one for the same file.
        QCOMPARE(beeps(), 3);
        QCOMPARE(m_log->take(),
                 QStringList({"==================>>>>vol 12", "==================>>>>vol 14"}));
    }
};

QTEST_MAIN(TestMEventFilter)
#include "tst_meventfilter.moc"
