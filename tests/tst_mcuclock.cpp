#include <QtTest>

#include "clockrecorder.h"
#include "datasavecontrol.h"
#include "hostframework.h"
#include "journalcalls.h"
#include "journallines.h"
#include "mainappprotocolcomm.h"
#include "mcupeer.h"
#include "setupstridconst.h"
#include "stdoutcapture.h"

class TestMcuClock : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    McuPeer m_peer;
    zyappframework::MainAppProtocolComm *m_link = nullptr;
    ClockRecorder m_clock;

private Q_SLOTS:
    void initTestCase()
    {
        // A zone with a daylight-saving gap, whatever the machine's zone is.
        qputenv("TZ", "Europe/Berlin");
        tzset();
        m_clock.fixedNow = QDateTime(QDate(2026, 3, 29), QTime(10, 0));
        SystemClock::setInstance(&m_clock);
        m_link = m_peer.connectLink(m_dir.filePath(QStringLiteral("link")));
        QVERIFY(m_link);
    }
    // The recorder stays installed: the reader thread outlives the test.
    void cleanupTestCase() { m_link->Stop(); }

    void mcuTime_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("error");
        QTest::addColumn<QVector<qint64>>("setTo");
        QTest::addColumn<bool>("reply");
        // Now is 2026-03-29 10:00 in summer time, so the fallback is 2022-01-01
        // 10:00 in winter time.
        const qint64 start = 1641027600;
        QTest::newRow("15551999: the fallback")
            << QByteArray::fromHex("0000ed4dff") << 0 << QVector<qint64> {start} << true;
        QTest::newRow("15552000: taken")
            << QByteArray::fromHex("ff00ed4e00") << 0 << QVector<qint64> {15552000} << false;
        QTest::newRow("negative: the fallback")
            << QByteArray::fromHex("0080000000") << 0 << QVector<qint64> {start} << true;
        QTest::newRow("refused") << QByteArray::fromHex("0000ed4e00") << EPERM
                                 << QVector<qint64> {15552000} << false;
        QTest::newRow("refused fallback")
            << QByteArray() << EPERM << QVector<qint64> {start} << true;
    }

    void mcuTime()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, error);
        QFETCH(QVector<qint64>, setTo);
        QFETCH(bool, reply);
        HostFramework::clearSettings();
        handle(MSG_M2A_TIME, data, error, setTo, reply);
    }

    void rdsTime_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QVariant>("syncSetting"); // null: not stored
        QTest::addColumn<int>("error");
        QTest::addColumn<QVector<qint64>>("setTo");
        QTest::addColumn<bool>("reply");
        // Today, 2026-03-29, at the hour and minute sent. Clocks went from 02:00
        // to 03:00 that night.
        const QVector<qint64> at1305 {1774782300};
        const QByteArray rds1305 = QByteArray::fromHex("ff0d05ffff");
        QTest::newRow("13:05") << rds1305 << QVariant(true) << 0 << at1305 << true;
        QTest::newRow("off") << rds1305 << QVariant(false) << 0 << QVector<qint64>() << false;
        QTest::newRow("on by default") << rds1305 << QVariant() << 0 << at1305 << true;
        QTest::newRow("refused") << rds1305 << QVariant() << EPERM << at1305 << true;
        QTest::newRow("23:59") << QByteArray::fromHex("00173b") << QVariant() << 0
                               << QVector<qint64> {1774821540} << true;
        QTest::newRow("02:30, in the gap")
            << QByteArray::fromHex("00021e") << QVariant() << 0 << QVector<qint64>() << false;
        QTest::newRow("hour 24") << QByteArray::fromHex("001800") << QVariant() << 0
                                 << QVector<qint64>() << false;
        QTest::newRow("minute 60")
            << QByteArray::fromHex("000c3c") << QVariant() << 0 << QVector<qint64>() << false;
    }

    void rdsTime()
    {
        QFETCH(QByteArray, data);
        QFETCH(QVariant, syncSetting);
        QFETCH(int, error);
        QFETCH(QVector<qint64>, setTo);
        QFETCH(bool, reply);
        HostFramework::clearSettings();
        if (syncSetting.isValid())
            DataSaveControl::writeSettingData(SetupStrIdConst::setupSyncRdsTime, syncSetting,
                                              QString());
        handle(MSG_M2A_RDS_TIME, data, error, setTo, reply);
    }

private:
    // Hands the frame to the link with the clock refusing with error (0: not);
    // the clock must be set to setTo and a reply carry the time set.
    void handle(quint32 msg, const QByteArray &data, int error, const QVector<qint64> &setTo,
                bool reply)
    {
        m_peer.readAll(0); // what a failed row left behind
        m_clock.refusal = error;
        const int setBefore = m_clock.times().size();
        const int mark = journalMark();

        QByteArray record = mcuRecord(longFrame(2, msg, data));
        StdoutCapture out;
        m_link->resolvePacket(reinterpret_cast<unsigned char *>(record.data()));
        QCOMPARE(out.count("-main app set system time failed: Operation not permitted\n"),
                 error ? 1 : 0);

        QCOMPARE(m_clock.times().mid(setBefore), setTo);
        // Synced only by the full time, and only once the clock really moved.
        QCOMPARE(journalCount(QLatin1String(JournalCall::setMcuTimeSynced), true, mark),
                 msg == MSG_M2A_TIME && !error ? 1 : 0);
        // The reply, if any, then nothing but the heartbeat sent behind it.
        QByteArray expected = normalFrame(12, 190, 0);
        if (reply) {
            const QByteArray seconds = QByteArray::number(setTo.value(0), 16);
            expected.prepend(
                outLong(2, 195, QByteArray::fromHex("04" + seconds.rightJustified(8, '0'))));
        }
        m_link->SendHeartbeattoMCU();
        QCOMPARE(m_peer.read(expected.size()).toHex(), expected.toHex());
    }
};

QTEST_GUILESS_MAIN(TestMcuClock)
#include "tst_mcuclock.moc"
