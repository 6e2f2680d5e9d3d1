#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <thread>

#include "appdata.h"
#include "application.h"
#include "firstframemonitor.h"
#include "hostframework.h"
#include "homescreen.h"
#include "mainappprotocolcomm.h"
#include "mcupeer.h"
#include "uimanager.h"

using Action = std::function<void(HomeScreen *)>;
Q_DECLARE_METATYPE(Action)

namespace {

QString label(HomeScreen *screen, const QString &name)
{
    return screen->findChild<QLabel *>(name)->text();
}

void click(HomeScreen *screen, const char *button)
{
    QTest::mouseClick(screen->findChild<QPushButton *>(QLatin1String(button)), Qt::LeftButton);
}

// Counts paints and beep requests that reach a watched object.
class EventCounter : public QObject
{
public:
    int paints = 0;
    int beeps = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        paints += event->type() == QEvent::Paint;
        if (event->type() == QEvent::KeyPress) {
            const auto *key = static_cast<QKeyEvent *>(event);
            beeps += key->key() == Qt::Key_Meta && key->text() == QLatin1String("beep");
        }
        return false;
    }
};

} // namespace

class TestHomeScreen : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    McuPeer m_peer;

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_peer.connectLink(m_dir.filePath(QStringLiteral("link")))); }
    void init() { Journal::instance()->clear(); }

    // Runs first: nothing in the process has been on screen yet.
    void firstFrameOnce()
    {
        FirstFrameMonitor *monitor = FirstFrameMonitor::getInstance();
        QSignalSpy spy(monitor, SIGNAL(procFlushDone()));
        HomeScreen screen;
        EventCounter counter;
        screen.installEventFilter(&counter);
        int paintsAtReport = 0;
        connect(monitor, &FirstFrameMonitor::procFlushDone, &screen, [&] { paintsAtReport = counter.paints; });
        QVERIFY(!monitor->preCheck());
        screen.show();
        QTRY_COMPARE(spy.count(), 1);
        QVERIFY(paintsAtReport > 0);
        screen.hide();
        screen.show();
        QVERIFY(QTest::qWaitForWindowExposed(&screen));
        QCOMPARE(spy.count(), 1);
        FirstFrameMonitor::releaseInstance();
    }

    void shows_data();
    void shows();

    void beep()
    {
        HomeScreen screen;
        EventCounter counter;
        qApp->installEventFilter(&counter);
        click(&screen, "beepButton");
        QTRY_COMPARE(counter.beeps, 1);
    }

    void visibility()
    {
        for (bool minimise : {true, false}) {
            HomeScreen screen;
            auto *uuid = screen.findChild<QLabel *>(QStringLiteral("uuid"));
            EventCounter counter;
            uuid->installEventFilter(&counter);
            screen.show();
            QVERIFY(QTest::qWaitForWindowExposed(&screen));
            QTRY_VERIFY(Application::isApVisible());
            minimise ? screen.showMinimized() : screen.hide();
            QTRY_VERIFY(!Application::isApVisible());
            // What arrives while concealed is painted once revealed: the
            // update requests made meanwhile were dropped by the application.
            AppData::GetInstance()->setUUID(QStringLiteral("while-hidden"));
            QTRY_COMPARE(uuid->text(), QStringLiteral("while-hidden"));
            const int paints = counter.paints;
            minimise ? screen.showNormal() : screen.show();
            QTRY_VERIFY(Application::isApVisible());
            QTRY_VERIFY(counter.paints > paints);
        }
    }
};

void TestHomeScreen::shows_data()
{
    QTest::addColumn<Action>("action");
    QTest::addColumn<QString>("labelName");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QByteArray>("sent");

    AppData *data = AppData::GetInstance();
    auto heard = [data] { data->setUUID(QStringLiteral("b-7")); };
    const QString silent = QStringLiteral("; nothing has come from the MCU yet");
    QTest::newRow("uuid from another thread") << Action([heard](HomeScreen *) { std::thread(heard).join(); }) << "uuid"
                                              << "b-7" << QByteArray();
    QTest::newRow("clock set") << Action([data](HomeScreen *) { data->setMcuTimeSynced(true); }) << "clockSynced"
                               << "set" << QByteArray();
    QTest::newRow("clock not set") << Action([data](HomeScreen *) { data->setMcuTimeSynced(false); }) << "clockSynced"
                                   << "not set" << QByteArray();
    QTest::newRow("frames per kind") << Action([this](HomeScreen *) {
        m_peer.write(normalFrame(MSG_M2A_KEY_PRESSED, 1, 1) + longFrame(3, 12, "can") + normalFrame(MSG_M2A_KEY_PRESSED, 1, 0));
    }) << "received" << "key 2, CAN 1" << QByteArray();
    QTest::newRow("right-hand drive") << Action([](HomeScreen *) { zyappframework::UIManager::setRightDrive(true, true); })
                                      << "driveSide" << "right-hand drive" << QByteArray();
    QTest::newRow("left-hand drive") << Action([](HomeScreen *) { zyappframework::UIManager::setRightDrive(false, true); })
                                     << "driveSide" << "left-hand drive" << QByteArray();
    QTest::newRow("eject") << Action([](HomeScreen *s) { click(s, "ejectButton"); }) << "sendStatus"
                           << "Eject sent" + silent << normalFrame(12, 140, 0);
    QTest::newRow("heartbeat, MCU heard") << Action([heard](HomeScreen *s) { heard(), click(s, "heartbeatButton"); })
                                          << "sendStatus" << "Heartbeat sent" << normalFrame(12, 190, 0);
    QTest::newRow("source, MCU quiet") << Action([heard](HomeScreen *s) {
        heard();
        s->setQuietAfter(0);
        auto *selector = s->findChild<QComboBox *>(QStringLiteral("sourceSelector"));
        selector->setCurrentIndex(selector->findData(int(SOURCE_ID_BT_MUSIC)));
        s->findChild<QSpinBox *>(QStringLiteral("sourceParam"))->setValue(7);
        click(s, "changeSourceButton");
    }) << "sendStatus" << "Source change sent; nothing from the MCU for 0 s"
       << normalFrame(12, 5, (7u << 16) | SOURCE_ID_BT_MUSIC);
    QTest::newRow("key colour") << Action([](HomeScreen *s) {
        for (int i = 0; i < 3; ++i)
            s->findChild<QSpinBox *>(QStringLiteral("keyColour%1").arg(i + 1))->setValue(i ? i + 1 : 255);
        click(s, "keyColourButton");
    }) << "sendStatus" << "Key colour sent" + silent << outLong(2, 19, QByteArray::fromHex("0401ff0203"));
}

void TestHomeScreen::shows()
{
    QFETCH(Action, action);
    QFETCH(QString, labelName);
    QFETCH(QString, expected);
    QFETCH(QByteArray, sent);

    HomeScreen screen;
    action(&screen);
    QTRY_COMPARE(label(&screen, labelName), expected);
    QCOMPARE(m_peer.read(sent.size()).toHex(), sent.toHex());
    // Nothing else goes out, on a timer or otherwise.
    QCOMPARE(m_peer.readAll(100), QByteArray());
    // The drive side mirrors the whole interface.
    QCOMPARE(screen.isRightToLeft(), zyappframework::UIManager::isRightDrive());
    // Clearing the journal does not blank what was shown.
    Journal::instance()->clear();
    screen.refresh();
    QCOMPARE(label(&screen, labelName), expected);
}

int main(int argc, char **argv)
{
    Application app(argc, argv);
    TestHomeScreen test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_homescreen.moc"
