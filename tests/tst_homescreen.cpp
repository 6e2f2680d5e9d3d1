#include <QtTest>
#include <QtWidgets>

#include "appdata.h"
#include "application.h"
#include "firstframemonitor.h"
#include "homescreen.h"
#include "mainappmsg.h"
#include "mcupeer.h"
#include "uimanager.h"

namespace {

QString label(HomeScreen *screen, const char *name)
{
    return screen->findChild<QLabel *>(QLatin1String(name))->text();
}

void click(HomeScreen *screen, const char *button)
{
    QTest::mouseClick(screen->findChild<QPushButton *>(QLatin1String(button)), Qt::LeftButton);
}

// Paints and key presses that reach a watched object.
class EventLog : public QObject
{
public:
    int paints = 0;
    QStringList keys;
    bool eventFilter(QObject *, QEvent *event) override
    {
        paints += event->type() == QEvent::Paint;
        if (event->type() == QEvent::KeyPress)
            keys << QString::number(static_cast<QKeyEvent *>(event)->key(), 16)
                    + static_cast<QKeyEvent *>(event)->text();
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

    // Runs first: nothing has recorded a frame yet.
    void linkAndControls()
    {
        HomeScreen screen;
        click(&screen, "ejectButton");
        QCOMPARE(m_peer.read(16).toHex(), normalFrame(12, 140, 0).toHex());
        QCOMPARE(label(&screen, "sendStatus"),
                 QStringLiteral("Eject sent; nothing has come from the MCU yet"));

        m_peer.write(normalFrame(MSG_M2A_KEY_PRESSED, 1, 1) + longFrame(3, 12, "can")
                     + normalFrame(MSG_M2A_KEY_PRESSED, 1, 0));
        QTRY_COMPARE(label(&screen, "received"), QStringLiteral("key 2, CAN 1"));
        AppData::GetInstance()->setMcuTimeSynced(true);
        QTRY_COMPARE(label(&screen, "clockSynced"), QStringLiteral("set"));
        AppData::GetInstance()->setMcuTimeSynced(false);
        QTRY_COMPARE(label(&screen, "clockSynced"), QStringLiteral("not set"));
        QTRY_COMPARE(label(&screen, "received"), QStringLiteral("key 2, CAN 1, time 2"));
        click(&screen, "heartbeatButton");
        QCOMPARE(m_peer.read(16).toHex(), normalFrame(12, 190, 0).toHex());
        QCOMPARE(label(&screen, "sendStatus"), QStringLiteral("Heartbeat sent"));

        screen.setQuietAfter(0);
        screen.findChild<QComboBox *>(QStringLiteral("sourceSelector"))
            ->setCurrentIndex(SOURCE_ID_BT_MUSIC);
        screen.findChild<QSpinBox *>(QStringLiteral("sourceParam"))->setValue(7);
        click(&screen, "changeSourceButton");
        QCOMPARE(m_peer.read(16).toHex(),
                 normalFrame(12, 5, (7u << 16) | SOURCE_ID_BT_MUSIC).toHex());
        QVERIFY(label(&screen, "sendStatus")
                    .startsWith(QStringLiteral("Source change sent; nothing from the MCU for ")));
        for (int i = 0; i < 3; ++i)
            screen.findChild<QSpinBox *>(QStringLiteral("keyColour%1").arg(i + 1))
                ->setValue(i ? i + 1 : 255);
        click(&screen, "keyColourButton");
        QCOMPARE(m_peer.read(264).toHex(),
                 outLong(2, 19, QByteArray::fromHex("0401ff0203")).toHex());

        // A beep is the framework's key press to the application, not a frame.
        EventLog log;
        qApp->installEventFilter(&log);
        click(&screen, "beepButton");
        QTRY_COMPARE(log.keys.filter(QStringLiteral("beep")),
                     QStringList(QStringLiteral("1000022beep")));
        QCOMPARE(m_peer.readAll(100), QByteArray());

        zyappframework::UIManager::setRightDrive(true, true);
        QTRY_COMPARE(label(&screen, "driveSide"), QStringLiteral("right-hand drive"));
        QVERIFY(screen.isRightToLeft());
        zyappframework::UIManager::setRightDrive(false, true);
        QVERIFY(!screen.isRightToLeft());
    }

    // Nothing in the process has been on screen before.
    void firstFrameAndVisibility()
    {
        FirstFrameMonitor *monitor = FirstFrameMonitor::getInstance();
        QSignalSpy spy(monitor, SIGNAL(procFlushDone()));
        HomeScreen screen;
        auto *uuid = screen.findChild<QLabel *>(QStringLiteral("uuid"));
        EventLog log;
        uuid->installEventFilter(&log);
        QVERIFY(!monitor->preCheck());
        screen.show();
        QTRY_COMPARE(spy.count(), 1);
        for (bool minimise : {true, false}) {
            minimise ? screen.showMinimized() : screen.hide();
            QTRY_VERIFY(!Application::isApVisible());
            // What arrives while concealed is painted once revealed: the
            // update requests made meanwhile were dropped by the application.
            AppData::GetInstance()->setUUID(QString::number(minimise));
            QTRY_COMPARE(uuid->text(), QString::number(minimise));
            const int paints = log.paints;
            minimise ? screen.showNormal() : screen.show();
            QTRY_VERIFY(Application::isApVisible());
            QTRY_VERIFY(log.paints > paints);
        }
        // Shown again is not a first frame again.
        QCOMPARE(spy.count(), 1);
        FirstFrameMonitor::releaseInstance();
    }
};

int main(int argc, char **argv)
{
    Application app(argc, argv);
    TestHomeScreen test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_homescreen.moc"
