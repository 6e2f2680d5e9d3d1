#include <QTemporaryDir>
#include <QtTest>

#include <ctime>

#include "clockrecorder.h"
#include "datadefault.h"
#include "datasavecontrol.h"
#include "hostframework.h"
#include "journallines.h"
#include "mainappprotocolcomm.h"
#include "mcupeer.h"
#include "setupstridconst.h"
#include "stdoutcapture.h"

using zyappframework::MainAppProtocolComm;

namespace {

// Clocks go forward from 02:00 to 03:00 on that day.
const QDate dstDay(2026, 3, 29);
// 2022-01-01 10:00 in winter time, the fallback for a time taken at 10:00.
const qint64 startTime = 1641027600;
const QByteArray refused = "-main app set system time failed: Operation not permitted\n";

} // namespace

class TestMcuClock : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    // The recorder stays installed: the reader thread outlives the test.
    void cleanupTestCase() { m_link->Stop(); }
    void handle_data();
    void handle();

private:
    QTemporaryDir m_dir;
    McuPeer m_peer;
    MainAppProtocolComm *m_link = nullptr;
    ClockRecorder m_clock;
};

void TestMcuClock::initTestCase()
{
    // A zone with a daylight-saving gap, whatever the machine's zone is.
    qputenv("TZ", "Europe/Berlin");
    tzset();
    SystemClock::setInstance(&m_clock);
    m_link = m_peer.connectLink(m_dir.filePath(QStringLiteral("link")));
    QVERIFY(m_link);
    DataSaveControl::initQSettingPath();
    DataDefault::initDataDefault();
}

void TestMcuClock::handle_data()
{
    QTest::addColumn<int>("msg");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QVariant>("rdsSetting");
    QTest::addColumn<int>("error");
    QTest::addColumn<qint64>("set"); // -1: the clock is left alone
    QTest::addColumn<bool>("reply");

    const QVariant none;
    QTest::newRow("15551999") << 12 << QByteArray::fromHex("0000ed4dff") << none << 0 << startTime << true;
    QTest::newRow("15552000") << 12 << QByteArray::fromHex("0000ed4e00") << none << 0 << qint64(15552000) << false;
    QTest::newRow("empty frame") << 12 << QByteArray() << none << 0 << startTime << true;
    QTest::newRow("negative") << 12 << QByteArray::fromHex("0080000000") << none << 0 << startTime << true;
    QTest::newRow("largest") << 12 << QByteArray::fromHex("ff7fffffff") << none << 0 << qint64(INT_MAX) << false;
    QTest::newRow("refused, plausible") << 12 << QByteArray::fromHex("0000ed4e00") << none << EPERM
                                        << qint64(15552000) << false;
    QTest::newRow("refused, implausible") << 12 << QByteArray() << none << EPERM << startTime << true;

    const QByteArray at1305 = QByteArray::fromHex("ff0d05ffff");
    QTest::newRow("rds 13:05") << 82 << at1305 << QVariant(true) << 0 << qint64(1774782300) << true;
    QTest::newRow("rds off") << 82 << at1305 << QVariant(false) << 0 << qint64(-1) << false;
    QTest::newRow("rds not stored") << 82 << at1305 << none << 0 << qint64(1774782300) << true;
    QTest::newRow("rds refused") << 82 << at1305 << QVariant(true) << EPERM << qint64(1774782300) << true;
    QTest::newRow("rds 23:59") << 82 << QByteArray::fromHex("00173b") << none << 0 << qint64(1774821540) << true;
    QTest::newRow("rds 02:30, in the gap") << 82 << QByteArray::fromHex("00021e") << none << 0 << qint64(-1) << false;
    QTest::newRow("rds 03:00") << 82 << QByteArray::fromHex("000300") << none << 0 << qint64(1774746000) << true;
    QTest::newRow("rds hour 24") << 82 << QByteArray::fromHex("001800") << none << 0 << qint64(-1) << false;
    QTest::newRow("rds minute 60") << 82 << QByteArray::fromHex("000c3c") << none << 0 << qint64(-1) << false;
}

void TestMcuClock::handle()
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
        DataSaveControl::writeSettingData(SetupStrIdConst::setupSyncRdsTime, rdsSetting, QString());
    m_clock.setNow(QDateTime(dstDay, QTime(10, 0)));
    m_clock.failWith(error);
    const int setBefore = m_clock.times().size();
    const int mark = journalMark();

    QByteArray record = mcuRecord(longFrame(2, quint32(msg), data));
    {
        StdoutCapture out;
        m_link->resolvePacket(reinterpret_cast<unsigned char *>(record.data()));
        QCOMPARE(out.count(refused), error ? 1 : 0);
    }

    QCOMPARE(m_clock.times().mid(setBefore), set < 0 ? QVector<qint64>() : QVector<qint64>{set});
    // Synced only by the full time, and only once the clock really moved.
    QCOMPARE(journalCount(QStringLiteral("AppData::setMcuTimeSynced"), true, mark), msg == 12 && !error ? 1 : 0);
    // The reply, if any, then nothing but the heartbeat sent behind it.
    QByteArray expected = normalFrame(12, 190, 0);
    if (reply)
        expected.prepend(outLong(2, 195, QByteArray::fromHex("04" + QByteArray::number(set, 16).rightJustified(8, '0'))));
    m_link->SendHeartbeattoMCU();
    QCOMPARE(m_peer.read(expected.size()).toHex(), expected.toHex());
}

QTEST_GUILESS_MAIN(TestMcuClock)
#include "tst_mcuclock.moc"
