#include <QtTest>

#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QMoveEvent>
#include <QPaintEvent>
#include <QTimer>
#include <QWidget>

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
class QPMCache : public Recorder
{
    Q_OBJECT
};
class qpmcache : public Recorder
{
    Q_OBJECT
};
class QPMCacheX : public Recorder
{
    Q_OBJECT
};
class QPMCach : public Recorder
{
    Q_OBJECT
};

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

class PaintCounter : public QWidget
{
    Q_OBJECT
public:
    int paints = 0;

protected:
    void paintEvent(QPaintEvent *) override { ++paints; }
};

static std::unique_ptr<QEvent> makeEvent(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseMove:
        return std::make_unique<QMouseEvent>(type, QPointF(1, 1), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
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

    void swallowedWhileHidden_data();
    void swallowedWhileHidden();
    void deliveredWhileHidden_data();
    void deliveredWhileHidden();
    void timerEvents_data();
    void timerEvents();
    void timersKeepFiringWhileHidden();
    void paintReachesWidgetOnlyWhileVisible();
};

void TestApplication::swallowedWhileHidden_data()
{
    QTest::addColumn<int>("type");
    const QVector<int> types{5, 8, 9, 12, 14, 15, 16, 17, 18, 21, 23, 26, 27,
                             39, 68, 69, 71, 73, 74, 75, 76, 77, 78, 97, 207};
    for (int t : types)
        QTest::addRow("%d", t) << t;
}

void TestApplication::swallowedWhileHidden()
{
    QFETCH(int, type);
    Recorder receiver;
    TypeLog appFilter;
    qApp->installEventFilter(&appFilter);
    const auto event = makeEvent(QEvent::Type(type));

    QVERIFY(QCoreApplication::sendEvent(&receiver, event.get()));
    QVERIFY(receiver.seen.isEmpty());
    // Not even the application's filters (the beep filter among them) see it.
    QVERIFY(!appFilter.seen.contains(type));

    HostFramework::setApVisible(true);
    QCoreApplication::sendEvent(&receiver, event.get());
    QCOMPARE(receiver.seen, QVector<int>{type});
    QVERIFY(appFilter.seen.contains(type));
}

void TestApplication::deliveredWhileHidden_data()
{
    QTest::addColumn<int>("type");
    QTest::newRow("MouseButtonPress") << int(QEvent::MouseButtonPress);
    QTest::newRow("MouseButtonRelease") << int(QEvent::MouseButtonRelease);
    QTest::newRow("KeyPress") << int(QEvent::KeyPress);
    QTest::newRow("KeyRelease") << int(QEvent::KeyRelease);
    QTest::newRow("Move") << int(QEvent::Move);
    QTest::newRow("MetaCall") << int(QEvent::MetaCall);
    QTest::newRow("DeferredDelete") << int(QEvent::DeferredDelete);
}

void TestApplication::deliveredWhileHidden()
{
    QFETCH(int, type);
    Recorder receiver;
    TypeLog appFilter;
    qApp->installEventFilter(&appFilter);
    const auto event = makeEvent(QEvent::Type(type));

    QVERIFY(QCoreApplication::sendEvent(&receiver, event.get()));
    QCOMPARE(receiver.seen, QVector<int>{type});
    QVERIFY(appFilter.seen.contains(type));
}

void TestApplication::timerEvents_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<bool>("delivered");
    QTest::newRow("QTimer") << "QTimer" << true;
    QTest::newRow("QPMCache") << "QPMCache" << false;
    QTest::newRow("other case") << "qpmcache" << true;
    QTest::newRow("longer") << "QPMCacheX" << true;
    QTest::newRow("shorter") << "QPMCach" << true;
}

void TestApplication::timerEvents()
{
    QFETCH(QString, className);
    QFETCH(bool, delivered);
    std::unique_ptr<QObject> receiver;
    if (className == QLatin1String("QTimer"))
        receiver = std::make_unique<QTimer>();
    else if (className == QLatin1String("QPMCache"))
        receiver = std::make_unique<QPMCache>();
    else if (className == QLatin1String("qpmcache"))
        receiver = std::make_unique<qpmcache>();
    else if (className == QLatin1String("QPMCacheX"))
        receiver = std::make_unique<QPMCacheX>();
    else
        receiver = std::make_unique<QPMCach>();
    QCOMPARE(QLatin1String(receiver->metaObject()->className()), className);
    TypeLog log;
    receiver->installEventFilter(&log);

    QTimerEvent event(4242);
    const bool result = QCoreApplication::sendEvent(receiver.get(), &event);
    QCOMPARE(log.seen.contains(QEvent::Timer), delivered);
    if (!delivered)
        QVERIFY(result);
}

void TestApplication::timersKeepFiringWhileHidden()
{
    QTimer timer;
    timer.setSingleShot(true);
    QSignalSpy fired(&timer, &QTimer::timeout);
    timer.start(1);
    QTRY_COMPARE(fired.count(), 1);
}

void TestApplication::paintReachesWidgetOnlyWhileVisible()
{
    PaintCounter widget;
    QPaintEvent paint(QRect(0, 0, 10, 10));

    QVERIFY(QCoreApplication::sendEvent(&widget, &paint));
    QCOMPARE(widget.paints, 0);

    HostFramework::setApVisible(true);
    QCoreApplication::sendEvent(&widget, &paint);
    QCOMPARE(widget.paints, 1);
}

int main(int argc, char **argv)
{
    Application app(argc, argv);
    TestApplication test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_application.moc"
