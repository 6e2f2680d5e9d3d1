#include <QtTest>

#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QMoveEvent>
#include <QTimer>

#include <memory>

#include "application.h"
#include "hostframework.h"

// Takes every event itself, so events of any type can be sent to it safely.
class Recorder : public QObject
{
    Q_OBJECT
public:
    QVector<int> seen;

protected:
    bool event(QEvent *e) override
    {
        seen << e->type();
        return true;
    }
};

// Receivers whose class names sit next to the pixmap cache's.
class QPMCache : public Recorder { Q_OBJECT };
class qpmcache : public Recorder { Q_OBJECT };
class QPMCacheX : public Recorder { Q_OBJECT };

// Notes what passes a filter, and lets it through.
class TypeLog : public QObject
{
    Q_OBJECT
public:
    QVector<int> seen;

protected:
    bool eventFilter(QObject *, QEvent *e) override
    {
        seen << e->type();
        return false;
    }
};

static std::unique_ptr<QEvent> makeEvent(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
        return std::make_unique<QMouseEvent>(type, QPointF(1, 1), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    case QEvent::MouseMove:
        return std::make_unique<QMouseEvent>(type, QPointF(1, 1), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
        return std::make_unique<QKeyEvent>(type, Qt::Key_A, Qt::NoModifier);
    case QEvent::FocusIn:
    case QEvent::FocusOut:
        return std::make_unique<QFocusEvent>(type);
    case QEvent::Move:
        return std::make_unique<QMoveEvent>(QPoint(1, 1), QPoint());
    default:
        return std::make_unique<QEvent>(type);
    }
}

class TestApplication : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { HostFramework::setApVisible(false); }
    void cleanup() { HostFramework::setApVisible(true); }

    void whileHidden_data();
    void whileHidden();
    void timerEvents_data();
    void timerEvents();
};

void TestApplication::whileHidden_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("delivered");
    for (int t : {5, 8, 9, 12, 14, 15, 16, 17, 18, 21, 23, 26, 27, 39, 68, 69, 71, 73, 74, 75, 76, 77, 78, 97, 207})
        QTest::addRow("swallowed %d", t) << t << false;
    for (QEvent::Type t : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::KeyPress, QEvent::KeyRelease,
                           QEvent::Move, QEvent::MetaCall, QEvent::DeferredDelete})
        QTest::addRow("delivered %d", int(t)) << int(t) << true;
}

void TestApplication::whileHidden()
{
    QFETCH(int, type);
    QFETCH(bool, delivered);
    Recorder receiver;
    TypeLog appFilter;
    qApp->installEventFilter(&appFilter);
    const auto event = makeEvent(QEvent::Type(type));

    // Swallowed means taken: not even the application's filters (the beep
    // filter among them) see it.
    QVERIFY(QCoreApplication::sendEvent(&receiver, event.get()));
    QCOMPARE(receiver.seen, delivered ? QVector<int>{type} : QVector<int>());
    QCOMPARE(appFilter.seen.contains(type), delivered);

    HostFramework::setApVisible(true);
    receiver.seen.clear();
    QCoreApplication::sendEvent(&receiver, event.get());
    QCOMPARE(receiver.seen, QVector<int>{type});
}

void TestApplication::timerEvents_data()
{
    QTest::addColumn<int>("receiver");
    QTest::addColumn<bool>("delivered");
    // Timers keep firing while hidden; only the pixmap cache's are held back.
    QTest::newRow("QTimer") << 0 << true;
    QTest::newRow("QPMCache") << 1 << false;
    QTest::newRow("other case") << 2 << true;
    QTest::newRow("longer") << 3 << true;
}

void TestApplication::timerEvents()
{
    QFETCH(int, receiver);
    QFETCH(bool, delivered);
    QTimer timer;
    QPMCache cache;
    qpmcache lower;
    QPMCacheX longer;
    QObject *const receivers[] = {&timer, &cache, &lower, &longer};
    TypeLog log;
    receivers[receiver]->installEventFilter(&log);

    QTimerEvent event(4242);
    const bool result = QCoreApplication::sendEvent(receivers[receiver], &event);
    QCOMPARE(log.seen.contains(QEvent::Timer), delivered);
    if (!delivered)
        QVERIFY(result);
}

int main(int argc, char **argv)
{
    Application app(argc, argv);
    TestApplication test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_application.moc"
