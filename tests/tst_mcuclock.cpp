#include <QTemporaryDir>
#include <QtTest>

#include <ctime>

#include "datadefault.h"
#include "datasavecontrol.h"
#include "hostframework.h"
#include "mainappprotocolcomm.h"
#include "mcupeer.h"
#include "setupstridconst.h"
#include "systemclock.h"

using zyappframework::MainAppProtocolComm;

namespace {

// Stands in for the machine's clock for the whole run: no case may move it.
class ClockRecorder : public SystemClock
{
public:
    int setTime(int64_t seconds) override
    {
        times.append(seconds);
        return 0;
    }
    QVector<qint64> times;
};

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
    const QTime t = now.time();
    return localSeconds(QDate(2022, 1, 1), t.hour(), t.minute(), t.second());
}

// 2022-01-01 00:00:00 UTC.
const qint64 NewYear2022Utc = 1640995200;

QByteArray timeReply(qint64 seconds)
{
    QByteArray f = QByteArray::fromHex("02000000" "c3000000" "04") + QByteArray(4, '\0');
    qToBigEndian(quint32(seconds), f.data() + 9);
    return f + QByteArray(264 - f.size(), '\0');
}

QStringList journalLines()
{
    QStringList lines;
    for (const Journal::Entry &e : Journal::instance()->entries()) {
        QStringList args;
        for (const QVariant &a : e.args)
            args << a.toString();
        lines << e.call + QLatin1Char('(') + args.join(QLatin1String(", ")) + QLatin1Char(')');
    }
    return lines;
}

} // namespace

class TestMcuClock : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void mcuTime_data();
    void mcuTime();
    void rdsTime_data();
    void rdsTime();

private:
    void handle(quint32 msg, const QByteArray &data);
    void expectNothingMore();

    QTemporaryDir m_dir;
    McuPeer m_peer;
    MainAppProtocolComm *m_link = nullptr;
    ClockRecorder m_clock;
    QByteArray m_zone;
};

void TestMcuClock::initTestCase()
{
    SystemClock::setInstance(&m_clock);
    m_zone = qgetenv("TZ");
    QVERIFY(m_dir.isValid());
    QVERIFY(m_peer.listen());
    MainAppProtocolComm::setSocketNames(QFile::encodeName(m_dir.filePath(QStringLiteral("link"))).constData(),
                                        m_peer.name().constData());
    m_link = MainAppProtocolComm::GetInstance();
    m_link->Start();
    QVERIFY(m_peer.accept());
    DataSaveControl::initQSettingPath();
    DataDefault::initDataDefault();
}

void TestMcuClock::cleanupTestCase()
{
    if (m_link)
        m_link->Stop();
    // The recorder stays installed: the reader thread outlives this function.
}

void TestMcuClock::init()
{
    m_clock.times.clear();
    Journal::instance()->clear();
}

// The handlers run inside the dispatcher; the frame is handed over as the
// reader would, as a zero-filled 268-byte record.
void TestMcuClock::handle(quint32 msg, const QByteArray &data)
{
    QByteArray record = longFrame(2, msg, data);
    record.append(QByteArray(268 - record.size(), '\0'));
    m_link->resolvePacket(reinterpret_cast<unsigned char *>(record.data()));
}

void TestMcuClock::expectNothingMore()
{
    m_link->SendHeartbeattoMCU();
    QCOMPARE(m_peer.read(16).toHex(), normalFrame(12, 190, 0).toHex());
}

void TestMcuClock::mcuTime_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("plausible");
    QTest::addColumn<qint64>("seconds");

    QTest::newRow("15551999") << QByteArray::fromHex("0000ed4dff") << false << qint64(0);
    QTest::newRow("15552000") << QByteArray::fromHex("0000ed4e00") << true << qint64(15552000);
    QTest::newRow("zero") << QByteArray::fromHex("0000000000") << false << qint64(0);
    QTest::newRow("empty frame") << QByteArray() << false << qint64(0);
    QTest::newRow("negative") << QByteArray::fromHex("0080000000") << false << qint64(0);
    QTest::newRow("-1") << QByteArray::fromHex("00ffffffff") << false << qint64(0);
    QTest::newRow("largest") << QByteArray::fromHex("007fffffff") << true << qint64(2147483647);
    QTest::newRow("recent") << QByteArray::fromHex("0069500000") << true << qint64(0x69500000);
    QTest::newRow("data 0 ignored, plausible") << QByteArray::fromHex("ff00ed4e00ffff") << true << qint64(15552000);
    QTest::newRow("data 0 ignored, implausible") << QByteArray::fromHex("7f00000001") << false << qint64(0);
}

void TestMcuClock::mcuTime()
{
    QFETCH(QByteArray, data);
    QFETCH(bool, plausible);
    QFETCH(qint64, seconds);

    const QDateTime before = QDateTime::currentDateTime();
    handle(12, data);
    const QDateTime after = QDateTime::currentDateTime();

    QCOMPARE(journalLines(), QStringList{"AppData::setMcuTimeSynced(true)"});
    QCOMPARE(m_clock.times.size(), 1);
    const qint64 set = m_clock.times.first();
    if (plausible) {
        QCOMPARE(set, seconds);
        expectNothingMore();
        return;
    }

    if (before.date() != after.date())
        QSKIP("midnight passed during the case");
    // 2022-01-01 at the local time of day the frame arrived.
    QVERIFY2(set >= startTimeAt(before) && set <= startTimeAt(after),
             qPrintable(QStringLiteral("%1 not in [%2, %3]").arg(set).arg(startTimeAt(before)).arg(startTimeAt(after))));
    const int dayBefore = before.time().msecsSinceStartOfDay() / 1000;
    const int dayAfter = after.time().msecsSinceStartOfDay() / 1000;
    if (m_zone == "UTC") {
        QVERIFY(set - NewYear2022Utc >= dayBefore && set - NewYear2022Utc <= dayAfter);
    } else if (m_zone == "Europe/Berlin") {
        // Winter time: one hour ahead of UTC.
        QVERIFY(set + 3600 - NewYear2022Utc >= dayBefore && set + 3600 - NewYear2022Utc <= dayAfter);
    }
    QCOMPARE(m_peer.read(264).toHex(), timeReply(set).toHex());
    expectNothingMore();
}

void TestMcuClock::rdsTime_data()
{
    QTest::addColumn<QVariant>("setting");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("applies");

    const bool byDefault = DataDefault::getDefault(SetupStrIdConst::setupSyncRdsTime).toBool();
    QTest::newRow("on, 13:05") << QVariant(true) << QByteArray::fromHex("000d05") << true;
    QTest::newRow("off") << QVariant(false) << QByteArray::fromHex("000d05") << false;
    QTest::newRow("on again") << QVariant(true) << QByteArray::fromHex("000d05") << true;
    QTest::newRow("not stored") << QVariant() << QByteArray::fromHex("000d05") << byDefault;
    QTest::newRow("midnight") << QVariant(true) << QByteArray::fromHex("000000") << true;
    QTest::newRow("23:59") << QVariant(true) << QByteArray::fromHex("00173b") << true;
    QTest::newRow("hour 24") << QVariant(true) << QByteArray::fromHex("001800") << false;
    QTest::newRow("hour 255") << QVariant(true) << QByteArray::fromHex("00ff00") << false;
    QTest::newRow("minute 60") << QVariant(true) << QByteArray::fromHex("000c3c") << false;
    QTest::newRow("minute 255") << QVariant(true) << QByteArray::fromHex("000cff") << false;
    QTest::newRow("off, invalid") << QVariant(false) << QByteArray::fromHex("00ffff") << false;
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
    Journal::instance()->clear();

    const QDate before = QDate::currentDate();
    handle(82, data);
    const QDate after = QDate::currentDate();
    const QStringList seen = journalLines();

    // Read afresh with the default as fallback; the flag of the full time is
    // not this message's business.
    const QString byDefault = DataDefault::getDefault(key).toBool() ? QStringLiteral("true") : QStringLiteral("false");
    QCOMPARE(seen, (QStringList{"DataDefault::getDefault(" + key + ")",
                                          "DataSaveControl::readSettingData(" + key + ", " + byDefault + ", )"}));
    if (!applies) {
        QCOMPARE(m_clock.times, QVector<qint64>());
        expectNothingMore();
        return;
    }

    if (before != after)
        QSKIP("midnight passed during the case");
    const int hour = quint8(data.at(1));
    const int minute = quint8(data.at(2));
    QCOMPARE(m_clock.times.size(), 1);
    const qint64 set = m_clock.times.first();
    QCOMPARE(set, localSeconds(before, hour, minute, 0));
    const qint64 dayOffset = ((set - (hour * 3600 + minute * 60)) % 86400 + 86400) % 86400;
    if (m_zone == "UTC")
        QCOMPARE(dayOffset, qint64(0));
    else if (m_zone == "Europe/Berlin")
        QVERIFY2(dayOffset == 86400 - 3600 || dayOffset == 86400 - 7200, qPrintable(QString::number(dayOffset)));
    QCOMPARE(m_peer.read(264).toHex(), timeReply(set).toHex());
    expectNothingMore();
}

QTEST_GUILESS_MAIN(TestMcuClock)
#include "tst_mcuclock.moc"
