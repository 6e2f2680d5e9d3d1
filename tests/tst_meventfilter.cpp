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
#include "journal.h"
#include "launcherconfig.h"
#include "meventfilter.h"
#include "setupstridconst.h"

namespace {

QStringList s_log;

void captureLog(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    // The sound backend warns about the fake server; only our debug lines count.
    if (type == QtDebugMsg)
        s_log << msg;
}

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
            while (!m_stop) {
                pollfd pfd{m_fd, POLLIN, 0};
                if (poll(&pfd, 1, 50) > 0) {
                    const int c = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (c >= 0)
                        close(c);
                }
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

int count(const QString &call, const QString &firstArg = QString())
{
    int n = 0;
    const auto entries = Journal::instance()->entries();
    for (const Journal::Entry &e : entries)
        n += e.call == call && (firstArg.isNull() || e.args.value(0).toString() == firstArg);
    return n;
}

// Beep requests that got past the debounce and the overlap check.
int beepsRequested()
{
    return count(QStringLiteral("DataSaveControl::readSettingData"), SetupStrIdConst::setupSysBeep);
}

QString loadedFile(MEventFilter *filter)
{
    // The newest child is the current sound; a replaced one waits for deleteLater.
    const QList<QSound *> sounds = filter->findChildren<QSound *>(QString(), Qt::FindDirectChildrenOnly);
    return sounds.isEmpty() ? QString() : sounds.last()->fileName();
}

QString soundFile(int n)
{
    return QStringLiteral(LAUNCHER_SOUND_DIR "/%1.wav").arg(n);
}

} // namespace

class TestMEventFilter : public QObject
{
    Q_OBJECT

private:
    QtMessageHandler m_previousHandler = nullptr;
    QTemporaryDir m_dir;
    QScopedPointer<FakeSoundServer> m_server;
    QObject m_target;

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
        QVERIFY(m_dir.isValid());
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
        DataSaveControl::writeSettingData(SetupStrIdConst::setupSysBeep, false, QString());
        s_now += 10000;
        freshFilter();
        Journal::instance()->clear();
        s_log.clear();
        m_previousHandler = qInstallMessageHandler(captureLog);
    }

    void cleanup() { qInstallMessageHandler(m_previousHandler); }

    void singletonAndMetaObject()
    {
        MEventFilter *filter = MEventFilter::GetInstance();
        QCOMPARE(MEventFilter::GetInstance(), filter);
        QVERIFY(!filter->parent());
        QCOMPARE(loadedFile(filter), soundFile(1));

        const QMetaObject *mo = filter->metaObject();
        QCOMPARE(mo->methodCount() - mo->methodOffset(), 2);
        QCOMPARE(mo->method(mo->methodOffset()).methodSignature(), QByteArray("mcuPlayBeepSig()"));
        QCOMPARE(mo->method(mo->methodOffset()).methodType(), QMetaMethod::Signal);
        QCOMPARE(mo->method(mo->methodOffset() + 1).methodSignature(), QByteArray("playSound()"));
        QCOMPARE(mo->method(mo->methodOffset() + 1).methodType(), QMetaMethod::Slot);
        QCOMPARE(mo->method(mo->methodOffset() + 1).access(), QMetaMethod::Public);

        // Reached by name, as the framework does.
        QVERIFY(QMetaObject::invokeMethod(filter, "playSound"));
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
        QTest::newRow("ignored press does not extend")
            << QStringList({"0:beep", "100:left", "121:beep"}) << 2;
        QTest::newRow("passed press does extend")
            << QStringList({"0:beep", "121:left", "200:beep"}) << 1;
        QTest::newRow("clock went backwards") << QStringList({"0:beep", "-5000:beep"}) << 2;
    }

    void debounce()
    {
        QFETCH(QStringList, events);
        QFETCH(int, beeps);
        const qint64 start = s_now;
        for (const QString &e : qAsConst(events)) {
            const QStringList parts = e.split(QLatin1Char(':'));
            s_now = start + parts.at(0).toLongLong();
            const QString what = parts.at(1);
            if (what == QLatin1String("left"))
                sendKey(Qt::Key_Left, QString());
            else if (what == QLatin1String("meta"))
                sendKey(Qt::Key_Meta, QString());
            else
                sendKey(Qt::Key_Meta, what);
        }
        s_now = qMax(s_now, start + 1000);
        QCOMPARE(beepsRequested(), beeps);
    }

    void otherEventsNeverTouchDebounce()
    {
        MEventFilter *filter = MEventFilter::GetInstance();
        beep();
        const int readsAfterBeep = s_clockReads;
        s_now += 50;
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(1, 1), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QMouseEvent move(QEvent::MouseMove, QPointF(2, 2), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QTouchEvent touch(QEvent::TouchBegin);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Meta, Qt::NoModifier, QStringLiteral("beep"));
        for (QEvent *e : {static_cast<QEvent *>(&press), static_cast<QEvent *>(&move),
                          static_cast<QEvent *>(&touch), static_cast<QEvent *>(&release)})
            QVERIFY(!filter->eventFilter(&m_target, e));
        QCOMPARE(s_clockReads, readsAfterBeep);

        s_now += 71; // 121 ms after the beep
        beep();
        QCOMPARE(beepsRequested(), 2);
    }

    void eventFilterNeverFilters()
    {
        bool accepted = false;
        QVERIFY(!sendKey(Qt::Key_Meta, QStringLiteral("beep"), &accepted));
        QVERIFY(accepted);
        s_now += 50;
        QVERIFY(!sendKey(Qt::Key_Meta, QStringLiteral("beep"), &accepted));
        QVERIFY(!accepted);
        s_now += 500;
        QVERIFY(!sendKey(Qt::Key_Left, QString(), &accepted));
        QVERIFY(!accepted);

        // Installed on the application, the event still reaches its target.
        struct Target : QObject {
            int keys = 0;
            bool event(QEvent *e) override
            {
                keys += e->type() == QEvent::KeyPress;
                return QObject::event(e);
            }
        } target;
        qApp->installEventFilter(MEventFilter::GetInstance());
        s_now += 500;
        QKeyEvent event(QEvent::KeyPress, Qt::Key_Meta, Qt::NoModifier, QStringLiteral("beep"));
        QCoreApplication::sendEvent(&target, &event);
        qApp->removeEventFilter(MEventFilter::GetInstance());
        QCOMPARE(target.keys, 1);
        QCOMPARE(beepsRequested(), 2);
    }

    void beepSwitchOffReadsNothingElse()
    {
        DataSaveControl::writeSettingData(SetupStrIdConst::setupAlterVolume, 25, QString());
        Journal::instance()->clear();
        beep();
        const auto entries = Journal::instance()->entries();
        QCOMPARE(entries.size(), 2);
        QCOMPARE(entries.at(0).call, QStringLiteral("DataDefault::getDefault"));
        QCOMPARE(entries.at(0).args, QVariantList({SetupStrIdConst::setupSysBeep}));
        QCOMPARE(entries.at(1).call, QStringLiteral("DataSaveControl::readSettingData"));
        QCOMPARE(entries.at(1).args.at(0).toString(), SetupStrIdConst::setupSysBeep);
        QCOMPARE(entries.at(1).args.at(1).userType(), int(QMetaType::Bool));
        QCOMPARE(entries.at(1).args.at(2).toString(), QString());
        QVERIFY(s_log.isEmpty());
        QCOMPARE(loadedFile(MEventFilter::GetInstance()), soundFile(1));
    }

    void audioNotReady()
    {
        DataSaveControl::writeSettingData(SetupStrIdConst::setupSysBeep, true, QString());
        const QByteArray server = qgetenv("PULSE_SERVER");
        qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(m_dir.filePath(QStringLiteral("nobody"))));
        Journal::instance()->clear();
        beep();
        qputenv("PULSE_SERVER", server);
        QCOMPARE(count(QStringLiteral("AppData::AudioInitOK")), 1);
        QCOMPARE(count(QStringLiteral("DataSaveControl::readSettingData"), SetupStrIdConst::setupAlterVolume), 0);
        QVERIFY(s_log.isEmpty());
    }

    void volumeTable_data()
    {
        // Consecutive rows differ: the last volume used outlives the instances.
        QTest::addColumn<int>("volume");
        QTest::addColumn<int>("file");
        QTest::newRow("10") << 10 << 1;
        QTest::newRow("11") << 11 << 2;
        QTest::newRow("15") << 15 << 2;
        QTest::newRow("16") << 16 << 3;
        QTest::newRow("20") << 20 << 3;
        QTest::newRow("21") << 21 << 4;
        QTest::newRow("30") << 30 << 4;
        QTest::newRow("31") << 31 << 5;
        QTest::newRow("-5") << -5 << 1;
        QTest::newRow("0") << 0 << 1;
        QTest::newRow("1000") << 1000 << 5;
    }

    void volumeTable()
    {
        QFETCH(int, volume);
        QFETCH(int, file);
        DataSaveControl::writeSettingData(SetupStrIdConst::setupSysBeep, true, QString());
        DataSaveControl::writeSettingData(SetupStrIdConst::setupAlterVolume, volume, QString());
        Journal::instance()->clear();

        beep();

        MEventFilter *filter = MEventFilter::GetInstance();
        QCOMPARE(s_log, QStringList(QStringLiteral("==================>>>>vol %1").arg(volume)));
        QCOMPARE(loadedFile(filter), soundFile(file));
        QStringList order;
        for (const Journal::Entry &e : Journal::instance()->entries())
            order << e.call + QLatin1Char(' ') + e.args.value(0).toString();
        QCOMPARE(order, QStringList({"DataDefault::getDefault " + SetupStrIdConst::setupSysBeep,
                                     "DataSaveControl::readSettingData " + SetupStrIdConst::setupSysBeep,
                                     "AppData::AudioInitOK true",
                                     "DataDefault::getDefault " + SetupStrIdConst::setupAlterVolume,
                                     "DataSaveControl::readSettingData " + SetupStrIdConst::setupAlterVolume}));
        QCOMPARE(Journal::instance()->entries().last().args.at(1).userType(), int(QMetaType::Int));
        // The replaced sound goes with the next pass of the event loop.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(filter->findChildren<QSound *>().size(), 1);
    }

    void soundChosenAgainOnlyWhenVolumeChanges()
    {
        DataSaveControl::writeSettingData(SetupStrIdConst::setupSysBeep, true, QString());
        DataSaveControl::writeSettingData(SetupStrIdConst::setupAlterVolume, 12, QString());
        beep();
        QCOMPARE(s_log, QStringList("==================>>>>vol 12"));

        // Same volume on a new instance: the constructor's sound stays loaded.
        freshFilter();
        s_now += 1000;
        beep();
        QCOMPARE(s_log.size(), 1);
        QCOMPARE(loadedFile(MEventFilter::GetInstance()), soundFile(1));

        // Another volume for the same file still loads it afresh.
        freshFilter();
        DataSaveControl::writeSettingData(SetupStrIdConst::setupAlterVolume, 14, QString());
        s_now += 1000;
        beep();
        QCOMPARE(s_log, QStringList({"==================>>>>vol 12", "==================>>>>vol 14"}));
        QCOMPARE(loadedFile(MEventFilter::GetInstance()), soundFile(2));
    }

    void noBeepWhilePlaying()
    {
        DataSaveControl::writeSettingData(SetupStrIdConst::setupSysBeep, true, QString());
        DataSaveControl::writeSettingData(SetupStrIdConst::setupAlterVolume, 40, QString());
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
