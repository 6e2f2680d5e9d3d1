#include <QSound>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "clockrecorder.h"
#include "datasavecontrol.h"
#include "hostframework.h"
#include "journallines.h"
#include "messagecapture.h"
#include "meventfilter.h"
#include "setupstridconst.h"

class TestMEventFilter : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    ClockRecorder m_clock;
    // The debounce state outlives every instance: each case starts later.
    QDateTime m_start = QDateTime::currentDateTime();
    // The sound backend warns about the fake server; only our debug lines count.
    QScopedPointer<MessageCapture> m_log;

    bool press(int atMs, const QString &what)
    {
        m_clock.setNow(m_start.addMSecs(atMs));
        QMouseEvent mouse(QEvent::MouseButtonPress, QPointF(1, 1), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        const bool left = what == QLatin1String("left");
        QKeyEvent key(QEvent::KeyPress, left ? Qt::Key_Left : Qt::Key_Meta, Qt::NoModifier, left ? QString() : what);
        QEvent *event = what == QLatin1String("mouse") ? static_cast<QEvent *>(&mouse) : &key;
        event->ignore();
        // Never filtered: the press goes on to its target in any case.
        return !MEventFilter::GetInstance()->eventFilter(this, event) && event->isAccepted();
    }
    // Beeps that got past the debounce and the overlap check.
    int beeps() { return journalCount(QStringLiteral("DataSaveControl::readSettingData"), SetupStrIdConst::setupSysBeep); }
    QSound *loadedSound()
    {
        // The newest child is the current sound; a replaced one waits for deleteLater.
        return MEventFilter::GetInstance()->findChildren<QSound *>().last();
    }

private Q_SLOTS:
    void initTestCase()
    {
        // A sound server that drops every connection at once: AppData sees it
        // reachable, the sound backend gives up on it without hanging.
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{AF_UNIX, {}};
        qstrncpy(addr.sun_path, qPrintable(m_dir.filePath(QStringLiteral("native"))), sizeof addr.sun_path);
        QVERIFY(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && listen(fd, 16) == 0);
        std::thread([fd] {
            for (int c; (c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
                close(c);
        }).detach();
        qputenv("PULSE_SERVER", "unix:" + QByteArray(addr.sun_path));
        SystemClock::setInstance(&m_clock);
    }
    void init()
    {
        HostFramework::clearSettings();
        m_start = m_start.addSecs(100);
        MEventFilter::DeleteInstance();
        MEventFilter::GetInstance();
        Journal::instance()->clear();
        m_log.reset(new MessageCapture);
    }
    void cleanup() { m_log.reset(); }

    void debounce_data()
    {
        // Each event is "<ms after the first>:<beep|Beep|left|mouse>"; the beep is off.
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<int>("beeps");
        QTest::newRow("120 ms apart") << QStringList({"0:beep", "120:beep"}) << 1;
        QTest::newRow("121 ms apart") << QStringList({"0:beep", "121:beep"}) << 2;
        QTest::newRow("ordinary key, beep 50 ms later") << QStringList({"0:left", "50:beep"}) << 0;
        QTest::newRow("Beep restarts the period") << QStringList({"0:Beep", "100:beep"}) << 0;
        QTest::newRow("ignored press does not extend") << QStringList({"0:beep", "100:left", "121:beep"}) << 2;
        QTest::newRow("passed press does extend") << QStringList({"0:beep", "121:left", "200:beep"}) << 1;
        QTest::newRow("mouse press does not count") << QStringList({"0:beep", "200:mouse", "250:beep"}) << 2;
        QTest::newRow("clock went backwards") << QStringList({"0:beep", "-5000:beep"}) << 2;
    }

    void debounce()
    {
        QFETCH(QStringList, events);
        QFETCH(int, beeps);
        DataSaveControl::writeSettingData(SetupStrIdConst::setupSysBeep, false, QString());
        int accepted = 0;
        for (const QString &e : qAsConst(events))
            accepted += press(e.section(QLatin1Char(':'), 0, 0).toInt(), e.section(QLatin1Char(':'), 1));
        QCOMPARE(this->beeps(), beeps);
        // Marked accepted when it asked for a beep, even one that stays silent.
        QCOMPARE(accepted, beeps);
    }

    // Which sound a beep loads, and when the settings keep it silent.
    void sound_data()
    {
        QTest::addColumn<bool>("on");
        QTest::addColumn<QByteArray>("server");
        QTest::addColumn<QVariant>("volume");
        QTest::addColumn<int>("file"); // 0: no sound chosen
        QTest::newRow("beep off") << false << qgetenv("PULSE_SERVER") << QVariant(25) << 0;
        QTest::newRow("audio not ready") << true << QByteArray("unix:/nonexistent") << QVariant(25) << 0;
        // The desktop default is 15.
        QTest::newRow("first beep at the default") << true << qgetenv("PULSE_SERVER") << QVariant() << 2;
        const int table[][2] = {{10, 1}, {11, 2}, {15, 2}, {16, 3}, {20, 3}, {21, 4}, {30, 4}, {31, 5}, {31, 5}, {-5, 1}};
        for (const auto &r : table)
            QTest::addRow("volume %d", r[0]) << true << qgetenv("PULSE_SERVER") << QVariant(r[0]) << r[1];
    }

    void sound()
    {
        QFETCH(bool, on);
        QFETCH(QByteArray, server);
        QFETCH(QVariant, volume);
        QFETCH(int, file);
        DataSaveControl::writeSettingData(SetupStrIdConst::setupSysBeep, on, QString());
        if (volume.isValid())
            DataSaveControl::writeSettingData(SetupStrIdConst::setupAlterVolume, volume, QString());
        const QByteArray ours = qgetenv("PULSE_SERVER");
        qputenv("PULSE_SERVER", server);
        QVERIFY(press(0, QStringLiteral("beep")));
        qputenv("PULSE_SERVER", ours);

        const QString line = QStringLiteral("==================>>>>vol %1").arg(volume.isValid() ? volume.toInt() : 15);
        QCOMPARE(m_log->take(), file ? QStringList(line) : QStringList());
        QVERIFY(loadedSound()->fileName().endsWith(QStringLiteral("/%1.wav").arg(qMax(file, 1))));
        // With the beep off nothing else is read.
        QCOMPARE(journalCount(QStringLiteral("DataSaveControl::readSettingData"), SetupStrIdConst::setupAlterVolume), file ? 1 : 0);
    }

    void sameVolumeKeepsTheSound()
    {
        DataSaveControl::writeSettingData(SetupStrIdConst::setupAlterVolume, 12, QString());
        QVERIFY(QMetaObject::invokeMethod(MEventFilter::GetInstance(), "playSound"));
        QSound *first = loadedSound();
        // Another beep while this one plays stays silent, however late.
        QVERIFY(press(5000, QStringLiteral("beep")));
        QCOMPARE(beeps(), 1);

        first->stop();
        press(10000, QStringLiteral("beep"));
        QCOMPARE(beeps(), 2);
        QCOMPARE(loadedSound(), first);
        // Another volume for the same file still loads it afresh.
        first->stop();
        DataSaveControl::writeSettingData(SetupStrIdConst::setupAlterVolume, 14, QString());
        press(15000, QStringLiteral("beep"));
        QVERIFY(loadedSound() != first);
        QCOMPARE(m_log->take(), QStringList({"==================>>>>vol 12", "==================>>>>vol 14"}));
    }
};

QTEST_MAIN(TestMEventFilter)
#include "tst_meventfilter.moc"
