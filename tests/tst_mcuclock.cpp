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

    void handle_data()
    {
        QTest::addColumn<int>("msg");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QVariant>("rdsSetting");
        QTest::addColumn<int>("error");
        QTest::addColumn<qint64>("set"); // -1: the clock is left alone
        QTest::addColumn<bool>("reply");

        // Now is 2026-03-29 10:00 in summer time, so the fallback is 2022-01-01
        // 10:00 in winter time. Clocks went from 02:00 to 03:00 that night.
        const qint64 start = 1641027600, at1305 = 1774782300;
        const QByteArray rds1305 = QByteArray::fromHex("ff0d05ffff");
        QTest::newRow("15551999") << 12 << QByteArray::fromHex("0000ed4dff") << QVariant() << 0
                                  << start << true;
        QTest::newRow("15552000") << 12 << QByteArray::fromHex("ff00ed4e00") << QVariant() << 0
                                  << qint64(15552000) << false;
        QTest::newRow("negative") << 12 << QByteArray::fromHex("0080000000") << QVariant() << 0
                                  << start << true;
        QTest::newRow("refused") << 12 << QByteArray::fromHex("0000ed4e00") << QVariant() << EPERM
                                 << qint64(15552000) << false;
        QTest::newRow("refused fallback")
            << 12 << QByteArray() << QVariant() << EPERM << start << true;
        QTest::newRow("rds 13:05") << 82 << rds1305 << QVariant(true) << 0 << at1305 << true;
        QTest::newRow("rds off") << 82 << rds1305 << QVariant(false) << 0 << qint64(-1) << false;
        QTest::newRow("rds by default") << 82 << rds1305 << QVariant() << 0 << at1305 << true;
        QTest::newRow("rds refused") << 82 << rds1305 << QVariant() << EPERM << at1305 << true;
        QTest::newRow("rds 23:59")
            << 82 << QByteArray::fromHex("00173b") << QVariant() << 0 << qint64(1774821540) << true;
        QTest::newRow("rds 02:30, in the gap")
            << 82 << QByteArray::fromHex("00021e") << QVariant() << 0 << qint64(-1) << false;
        QTest::newRow("rds hour 24")
            << 82 << QByteArray::fromHex("001800") << QVariant() << 0 << qint64(-1) << false;
        QTest::newRow("rds minute 60")
            << 82 << QByteArray::fromHex("000c3c") << QVariant() << 0 << qint64(-1) << false;
    }

    void handle()
    {
        QFETCH(int, msg);
        QFETCH(QByteArray, data);
        QFETCH(QVariant, rdsSetting);
        QFETCH(int, error);
        QFETCH(qint64, set);
        QFETCH(bool, reply);
        m_peer.readAll(0); // what a failed row left behind
        HostFramework::clearSettings();
        if (rdsSetting.isValid())
            DataSaveControl::writeSettingData(SetupStrIdConst::setupSyncRdsTime, rdsSetting,
                                              QString());
        m_clock.refusal = error;
        const int setBefore = m_clock.times().size();
        const int mark = journalMark();

        QByteArray record = mcuRecord(longFrame(2, quint32(msg), data));
        StdoutCapture out;
        m_link->resolvePacket(reinterpret_cast<unsigned char *>(record.data()));
        QCOMPARE(out.count("-main app set system time failed: Operation not permitted\n"),
                 error ? 1 : 0);

        QCOMPARE(m_clock.times().mid(setBefore),
                 set < 0 ? QVector<qint64>() : QVector<qint64> {set});
        // Synced only by the full time, and only once the clock really moved.
        QCOMPARE(journalCount(QLatin1String(JournalCall::setMcuTimeSynced), true, mark),
                 msg == 12 && !error ? 1 : 0);
        // The reply, if any, then nothing but the heartbeat sent behind it.
        QByteArray expected = normalFrame(12, 190, 0);
        if (reply)
            expected.prepend(outLong(
                2, 195,
                QByteArray::fromHex("04" + QByteArray::number(set, 16).rightJustified(8, '0'))));
        m_link->SendHeartbeattoMCU();
        QCOMPARE(m_peer.read(expected.size()).toHex(), expected.toHex());
    }
};

QTEST_GUILESS_MAIN(TestMcuClock)
#include "tst_mcuclock.moc"
