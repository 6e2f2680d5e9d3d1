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

using zyappframework::MainAppProtocolComm;

namespace {

// Local time to epoch seconds through the C library, independently of Qt.
qint64 localSeconds(const QDate &date, int hour, int minute, int second)
{
    std::tm tm{};
    tm.tm_year = date.year() - 1900;
    tm.tm_mon = date.month() - 1;
    tm.tm_mday = date.day();
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return qint64(std::mktime(&tm));
}

qint64 startTimeAt(const QDateTime &now)
{
    return localSeconds(QDate(2022, 1, 1), now.time().hour(), now.time().minute(), now.time().second());
}

QByteArray timeReply(qint64 seconds)
{
    QByteArray data = QByteArray::fromHex("04") + QByteArray(4, '\0');
    qToBigEndian(quint32(seconds), data.data() + 1);
    return outLong(2, 195, data);
}

} // namespace

class TestMcuClock : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    // The recorder stays installed: the reader thread outlives the test.
    void cleanupTestCase() { m_link->Stop(); }
    void init();
    void mcuTime_data();
    void mcuTime();
    void rdsTime_data();
    void rdsTime();

private:
    void handle(quint32 msg, const QByteArray &data);
    void expectReply(qint64 seconds);

    QTemporaryDir m_dir;
    McuPeer m_peer;
    MainAppProtocolComm *m_link = nullptr;
    ClockRecorder m_clock;
    const QByteArray m_zone = qgetenv("TZ");
};

void TestMcuClock::initTestCase()
{
    SystemClock::setInstance(&m_clock);
    m_link = m_peer.connectLink(m_dir.filePath(QStringLiteral("link")));
    QVERIFY(m_link);
    DataSaveControl::initQSettingPath();
    DataDefault::initDataDefault();
}

void TestMcuClock::init()
{
    m_clock.clear();
    Journal::instance()->clear();
}

// The handlers run inside the dispatcher, handed the record as the reader would.
void TestMcuClock::handle(quint32 msg, const QByteArray &data)
{
    QByteArray record = mcuRecord(longFrame(2, msg, data));
    m_link->resolvePacket(reinterpret_cast<unsigned char *>(record.data()));
}

// The time reply, if any, then nothing but the heartbeat sent behind it.
void TestMcuClock::expectReply(qint64 seconds)
{
    const QByteArray reply = seconds < 0 ? QByteArray() : timeReply(seconds);
    m_link->SendHeartbeattoMCU();
    QCOMPARE(m_peer.read(reply.size() + 16).toHex(), (reply + normalFrame(12, 190, 0)).toHex());
}

void TestMcuClock::mcuTime_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<qint64>("seconds"); // 0: implausible, the fallback time is set

    QTest::newRow("15551999") << QByteArray::fromHex("0000ed4dff") << qint64(0);
    QTest::newRow("15552000") << QByteArray::fromHex("0000ed4e00") << qint64(15552000);
    QTest::newRow("empty frame") << QByteArray() << qint64(0);
    QTest::newRow("negative") << QByteArray::fromHex("0080000000") << qint64(0);
    QTest::newRow("largest") << QByteArray::fromHex("007fffffff") << qint64(2147483647);
    QTest::newRow("data 0 ignored, plausible") << QByteArray::fromHex("ff00ed4e00ffff") << qint64(15552000);
    QTest::newRow("data 0 ignored, implausible") << QByteArray::fromHex("7f00000001") << qint64(0);
}

void TestMcuClock::mcuTime()
{
    QFETCH(QByteArray, data);
    QFETCH(qint64, seconds);

    const QDateTime before = QDateTime::currentDateTime();
    handle(12, data);
    const QDateTime after = QDateTime::currentDateTime();

    QCOMPARE(journalLines(), QStringList{"AppData::setMcuTimeSynced(true)"});
    QCOMPARE(m_clock.times().size(), 1);
    const qint64 set = m_clock.times().first();
    if (seconds) {
        QCOMPARE(set, seconds);
        return expectReply(-1);
    }
    if (before.date() != after.date())
        QSKIP("midnight passed during the case");
    // 2022-01-01 at the local time of day the frame arrived; in Berlin winter
    // time is one hour ahead of UTC.
    QVERIFY2(set >= startTimeAt(before) && set <= startTimeAt(after), qPrintable(QString::number(set)));
    const qint64 sinceNewYearUtc = set - 1640995200 + (m_zone == "Europe/Berlin" ? 3600 : 0);
    if (m_zone == "UTC" || m_zone == "Europe/Berlin")
        QVERIFY(sinceNewYearUtc >= before.time().msecsSinceStartOfDay() / 1000
                && sinceNewYearUtc <= after.time().msecsSinceStartOfDay() / 1000);
    expectReply(set);
}

void TestMcuClock::rdsTime_data()
{
    QTest::addColumn<QVariant>("setting");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("applies");

    const QByteArray at1305 = QByteArray::fromHex("000d05");
    QTest::newRow("on, 13:05") << QVariant(true) << at1305 << true;
    QTest::newRow("off") << QVariant(false) << at1305 << false;
    QTest::newRow("not stored") << QVariant() << at1305
                                << DataDefault::getDefault(SetupStrIdConst::setupSyncRdsTime).toBool();
    QTest::newRow("midnight") << QVariant(true) << QByteArray::fromHex("000000") << true;
    QTest::newRow("23:59") << QVariant(true) << QByteArray::fromHex("00173b") << true;
    QTest::newRow("hour 24") << QVariant(true) << QByteArray::fromHex("001800") << false;
    QTest::newRow("hour 255") << QVariant(true) << QByteArray::fromHex("00ff00") << false;
    QTest::newRow("minute 60") << QVariant(true) << QByteArray::fromHex("000c3c") << false;
    QTest::newRow("minute 255") << QVariant(true) << QByteArray::fromHex("000cff") << false;
    QTest::newRow("data 0 ignored") << QVariant(true) << QByteArray::fromHex("ff0d05ffff") << true;
}

void TestMcuClock::rdsTime()
{
    QFETCH(QVariant, setting);
    QFETCH(QByteArray, data);
    QFETCH(bool, applies);

    const QString key = SetupStrIdConst::setupSyncRdsTime;
    HostFramework::clearSettings();
    if (setting.isValid())
        DataSaveControl::writeSettingData(key, setting, QString());
    const QString byDefault = DataDefault::getDefault(key).toString();
    Journal::instance()->clear();

    const QDate before = QDate::currentDate();
    handle(82, data);
    const QDate after = QDate::currentDate();

    // Read afresh with the default as fallback; the flag of the full time is
    // not this message's business.
    QCOMPARE(journalLines(), (QStringList{"DataDefault::getDefault(" + key + ")",
                                          "DataSaveControl::readSettingData(" + key + ", " + byDefault + ", )"}));
    if (!applies) {
        QCOMPARE(m_clock.times(), QVector<qint64>());
        return expectReply(-1);
    }
    if (before != after)
        QSKIP("midnight passed during the case");
    const int hour = quint8(data.at(1));
    const int minute = quint8(data.at(2));
    QCOMPARE(m_clock.times().size(), 1);
    const qint64 set = m_clock.times().first();
    QCOMPARE(set, localSeconds(before, hour, minute, 0));
    const qint64 dayOffset = ((set - (hour * 3600 + minute * 60)) % 86400 + 86400) % 86400;
    if (m_zone == "UTC")
        QCOMPARE(dayOffset, qint64(0));
    else if (m_zone == "Europe/Berlin")
        QVERIFY2(dayOffset == 86400 - 3600 || dayOffset == 86400 - 7200, qPrintable(QString::number(dayOffset)));
    expectReply(set);
}

QTEST_GUILESS_MAIN(TestMcuClock)
#include "tst_mcuclock.moc"
