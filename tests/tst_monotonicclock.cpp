#include "monotonicclock.h"

#include <QTest>

#include <cerrno>

static int64_t nanoseconds(const timespec &t)
{
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

static timespec monotonicNow()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

class TestMonotonicClock : public QObject
{
    Q_OBJECT

private slots:
    void after_data();
    void after();
    void nowMs();
    void conditionWaitsOnMonotonicClock();
};

void TestMonotonicClock::after_data()
{
    QTest::addColumn<int>("ms");
    QTest::newRow("now") << 0;
    QTest::newRow("1 ms") << 1;
    // Nearly always carries into the seconds.
    QTest::newRow("999 ms") << 999;
    QTest::newRow("1 s") << 1000;
    QTest::newRow("1.001 s") << 1001;
    QTest::newRow("2.5 s") << 2500;
}

// Exactly ms after the moment of the call, which lies between before and after.
void TestMonotonicClock::after()
{
    QFETCH(int, ms);
    const int64_t before = nanoseconds(monotonicNow());
    const timespec deadline = MonotonicClock::after(ms);
    const int64_t after = nanoseconds(monotonicNow());

    QVERIFY(deadline.tv_nsec >= 0);
    QVERIFY(deadline.tv_nsec < 1000000000);
    const int64_t called = nanoseconds(deadline) - int64_t(ms) * 1000000;
    QVERIFY(called >= before);
    QVERIFY(called <= after);
}

void TestMonotonicClock::nowMs()
{
    const int64_t before = nanoseconds(monotonicNow()) / 1000000;
    const int64_t now = MonotonicClock::nowMs();
    const int64_t after = nanoseconds(monotonicNow()) / 1000000;
    QVERIFY(now >= before);
    QVERIFY(now <= after);
}

// A deadline from after() means the monotonic clock to the condition; one on the
// wall clock would read it as long past and return at once.
void TestMonotonicClock::conditionWaitsOnMonotonicClock()
{
    pthread_cond_t cond;
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    MonotonicClock::initCondition(&cond);
    const int64_t start = MonotonicClock::nowMs();
    const timespec deadline = MonotonicClock::after(50);
    pthread_mutex_lock(&mutex);
    int waited = 0;
    while (waited != ETIMEDOUT)
        waited = pthread_cond_timedwait(&cond, &mutex, &deadline);
    pthread_mutex_unlock(&mutex);
    QVERIFY(MonotonicClock::nowMs() - start >= 50);
    pthread_cond_destroy(&cond);
}

QTEST_APPLESS_MAIN(TestMonotonicClock)
#include "tst_monotonicclock.moc"
