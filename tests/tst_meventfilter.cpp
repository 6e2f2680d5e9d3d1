#include <QKeyEvent>
#include <QMouseEvent>
#include <QSound>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "datasavecontrol.h"
#include "hostframework.h"
#include "journallines.h"
#include "launcherconfig.h"
#include "messagecapture.h"
#include "meventfilter.h"
#include "setupstridconst.h"

namespace {

// The controlled clock only moves forward between cases: the filter's
// debounce state outlives every instance.
qint64 s_now = 1000000;
int s_clockReads = 0;
qint64 controlledNow()
{
    ++s_clockReads;
    return s_now;
}

// Takes connections and drops them at once: AppData then sees a reachable
// sound server, while the sound backend gives up on it without hanging.
class FakeSoundServer
{
public:
    explicit FakeSoundServer(const QString &path)
    {
        m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray p = QFile::encodeName(path);
        memcpy(addr.sun_path, p.constData(), size_t(p.size()));
        if (bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(m_fd, 16) != 0)
            qFatal("fake sound server: cannot listen on %s", p.constData());
        m_thread = std::thread([this] {
            for (pollfd pfd{m_fd, POLLIN, 0}; !m_stop;) {
                if (poll(&pfd, 1, 50) > 0)
                    close(accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC));
            }
        });
    }
    ~FakeSoundServer()
    {
        m_stop = true;
        m_thread.join();
        close(m_fd);
    }

private:
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Beep requests that got past the debounce and the overlap check.
int beepsRequested()
{
    return journalCount(QStringLiteral("DataSaveControl::readSettingData"), SetupStrIdConst::setupSysBeep);
}

QString loadedFile()
{
    // The newest child is the current sound; a replaced one waits for deleteLater.
    const auto sounds = MEventFilter::GetInstance()->findChildren<QSound *>(QString(), Qt::FindDirectChildrenOnly);
    return sounds.isEmpty() ? QString() : sounds.last()->fileName();
}

QString soundFile(int n) { return QStringLiteral(LAUNCHER_SOUND_DIR "/%1.wav").arg(n); }

void setBeep(bool on, int volume = 25)
{
    DataSaveControl::writeSettingData(SetupStrIdConst::setupSysBeep, on, QString());
    DataSaveControl::writeSettingData(SetupStrIdConst::setupAlterVolume, volume, QString());
    Journal::instance()->clear();
}

} // namespace

class TestMEventFilter : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QScopedPointer<FakeSoundServer> m_server;
    QObject m_target;
    // The sound backend warns about the fake server; only our debug lines count.
    QScopedPointer<MessageCapture> m_log;

    bool sendKey(int key, const QString &text, bool *accepted = nullptr)
    {
        QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier, text);
        event.ignore();
        const bool filtered = MEventFilter::GetInstance()->eventFilter(&m_target, &event);
        if (accepted)
            *accepted = event.isAccepted();
        return filtered;
    }
    void beep() { sendKey(Qt::Key_Meta, QStringLiteral("beep")); }
    void freshFilter()
    {
        MEventFilter::DeleteInstance();
        MEventFilter::GetInstance();
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString socketPath = m_dir.filePath(QStringLiteral("native"));
        m_server.reset(new FakeSoundServer(socketPath));
        qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(socketPath));
        MEventFilter::currentMSecs = controlledNow;
    }
    void cleanupTestCase()
    {
        MEventFilter::DeleteInstance();
        m_server.reset();
    }
    void init()
    {
        HostFramework::clearSettings();
        setBeep(false);
        s_now += 10000;
        freshFilter();
        m_log.reset(new MessageCapture);
    }
    void cleanup() { m_log.reset(); }

    void playSoundByName()
    {
        QCOMPARE(loadedFile(), soundFile(1));
        // The framework reaches the slot by name, and the signal by its signature.
        QVERIFY(MEventFilter::GetInstance()->metaObject()->indexOfSignal("mcuPlayBeepSig()") >= 0);
        QVERIFY(QMetaObject::invokeMethod(MEventFilter::GetInstance(), "playSound"));
        QCOMPARE(beepsRequested(), 1);
        MEventFilter::DeleteInstance();
        MEventFilter::DeleteInstance();
        QVERIFY(MEventFilter::GetInstance());
    }

    void debounce_data()
    {
        // Each event is "<ms after the first>:<beep|Beep|left|meta>".
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<int>("beeps");
        QTest::newRow("100 ms apart") << QStringList({"0:beep", "100:beep"}) << 1;
        QTest::newRow("120 ms apart") << QStringList({"0:beep", "120:beep"}) << 1;
        QTest::newRow("121 ms apart") << QStringList({"0:beep", "121:beep"}) << 2;
        QTest::newRow("ordinary key, beep 50 ms later") << QStringList({"0:left", "50:beep"}) << 0;
        QTest::newRow("ordinary key, beep 121 ms later") << QStringList({"0:left", "121:beep"}) << 1;
        QTest::newRow("Beep restarts the period") << QStringList({"0:Beep", "100:beep"}) << 0;
        QTest::newRow("Meta without text is no beep") << QStringList({"0:meta", "200:meta"}) << 0;
        QTest::newRow("ignored press does not extend") << QStringList({"0:beep", "100:left", "121:beep"}) << 2;
        QTest::newRow("passed press does extend") << QStringList({"0:beep", "121:left", "200:beep"}) << 1;
        QTest::newRow("clock went backwards") << QStringList({"0:beep", "-5000:beep"}) << 2;
    }

    void debounce()
    {
        QFETCH(QStringList, events);
        QFETCH(int, beeps);
        const qint64 start = s_now;
        int accepted = 0;
        for (const QString &e : qAsConst(events)) {
            const QStringList parts = e.split(QLatin1Char(':'));
            s_now = start + parts.at(0).toLongLong();
            const QString what = parts.at(1);
            bool taken = false;
            // Never filtered: the press goes on to its target in any case, and
            // is marked accepted when it asked for a beep that goes ahead.
            QVERIFY(!sendKey(what == QLatin1String("left") ? Qt::Key_Left : Qt::Key_Meta,
                             what == QLatin1String("left") || what == QLatin1String("meta") ? QString() : what, &taken));
            accepted += taken;
        }
        s_now = qMax(s_now, start + 1000);
        QCOMPARE(beepsRequested(), beeps);
        QCOMPARE(accepted, beeps);
    }

    void otherEventsNeverTouchDebounce()
    {
        beep();
        const int readsAfterBeep = s_clockReads;
        s_now += 50;
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(1, 1), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QTouchEvent touch(QEvent::TouchBegin);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Meta, Qt::NoModifier, QStringLiteral("beep"));
        for (QEvent *e : std::initializer_list<QEvent *>{&press, &touch, &release})
            QVERIFY(!MEventFilter::GetInstance()->eventFilter(&m_target, e));
        QCOMPARE(s_clockReads, readsAfterBeep);

        s_now += 71; // 121 ms after the beep
        beep();
        QCOMPARE(beepsRequested(), 2);
    }

    // What a beep request reads, and which sound it loads.
    void screening_data()
    {
        QTest::addColumn<bool>("on");
        QTest::addColumn<bool>("audio");
        QTest::addColumn<int>("volume");
        QTest::addColumn<int>("file");
        QTest::newRow("beep off") << false << true << 25 << 1;
        QTest::newRow("audio not ready") << true << false << 25 << 1;
        // Consecutive rows differ: the last volume used outlives the instances.
        const int table[][2] = {{10, 1}, {11, 2}, {15, 2}, {16, 3}, {20, 3}, {21, 4}, {30, 4}, {31, 5},
                                {-5, 1}, {0, 1}, {1000, 5}};
        for (const auto &r : table)
            QTest::addRow("volume %d", r[0]) << true << true << r[0] << r[1];
    }

    void screening()
    {
        QFETCH(bool, on);
        QFETCH(bool, audio);
        QFETCH(int, volume);
        QFETCH(int, file);
        setBeep(on, volume);
        const QByteArray server = qgetenv("PULSE_SERVER");
        if (!audio)
            qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(m_dir.filePath(QStringLiteral("nobody"))));
        beep();
        qputenv("PULSE_SERVER", server);

        const QString beepKey = SetupStrIdConst::setupSysBeep, volumeKey = SetupStrIdConst::setupAlterVolume;
        QStringList calls{"DataDefault::getDefault(" + beepKey + ")", "DataSaveControl::readSettingData(" + beepKey + ", true, )"};
        if (on)
            calls << QStringLiteral("AppData::AudioInitOK(%1)").arg(audio ? "true" : "false");
        if (on && audio)
            calls << "DataDefault::getDefault(" + volumeKey + ")" << "DataSaveControl::readSettingData(" + volumeKey + ", 15, )";
        QCOMPARE(journalLines(), calls);
        const auto entries = Journal::instance()->entries();
        QCOMPARE(entries.at(1).args.at(1).userType(), int(QMetaType::Bool));
        if (on && audio)
            QCOMPARE(entries.last().args.at(1).userType(), int(QMetaType::Int));
        QCOMPARE(m_log->take(), on && audio ? QStringList(QStringLiteral("==================>>>>vol %1").arg(volume)) : QStringList());
        QCOMPARE(loadedFile(), soundFile(file));
        // The replaced sound goes with the next pass of the event loop.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(MEventFilter::GetInstance()->findChildren<QSound *>().size(), 1);
    }

    void soundChosenAgainOnlyWhenVolumeChanges()
    {
        setBeep(true, 12);
        beep();
        QCOMPARE(m_log->take(), QStringList("==================>>>>vol 12"));

        // Same volume on a new instance: the constructor's sound stays loaded.
        freshFilter();
        s_now += 1000;
        beep();
        QCOMPARE(m_log->take(), QStringList());
        QCOMPARE(loadedFile(), soundFile(1));

        // Another volume for the same file still loads it afresh.
        freshFilter();
        setBeep(true, 14);
        s_now += 1000;
        beep();
        QCOMPARE(m_log->take(), QStringList("==================>>>>vol 14"));
        QCOMPARE(loadedFile(), soundFile(2));
    }

    void noBeepWhilePlaying()
    {
        setBeep(true, 40);
        beep();
        QCOMPARE(beepsRequested(), 1);
        QVERIFY(!MEventFilter::GetInstance()->findChildren<QSound *>().last()->isFinished());

        s_now += 500;
        Journal::instance()->clear();
        bool accepted = false;
        sendKey(Qt::Key_Meta, QStringLiteral("beep"), &accepted);
        QVERIFY(accepted);
        QVERIFY(Journal::instance()->entries().isEmpty());
    }
};

QTEST_MAIN(TestMEventFilter)
#include "tst_meventfilter.moc"
