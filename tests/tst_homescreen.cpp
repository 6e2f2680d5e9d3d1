#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>
#include <thread>
#include <unistd.h>

#include "appdata.h"
#include "application.h"
#include "activitymanager.h"
#include "basecontrol.h"
#include "boottimeline.h"
#include "firstframemonitor.h"
#include "homescreen.h"
#include "hostframework.h"
#include "mainappprotocolcomm.h"
#include "mcupeer.h"
#include "messagecapture.h"
#include "platformcontrol.h"
#include "signalquit.h"
#include "syslanguage.h"
#include "uimanager.h"

using zyappframework::MainAppProtocolComm;
using Action = std::function<void()>;
using ScreenAction = std::function<void(HomeScreen *)>;
Q_DECLARE_METATYPE(Action)
Q_DECLARE_METATYPE(ScreenAction)

namespace {

QString label(HomeScreen *screen, const char *name)
{
    auto *l = screen->findChild<QLabel *>(QLatin1String(name));
    return l ? l->text() : QStringLiteral("<no label %1>").arg(QLatin1String(name));
}

class PaintCounter : public QObject
{
public:
    int paints = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

} // namespace

class TestHomeScreen : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void firstFrameAfterPaintOnce();
    void showsJournal_data();
    void showsJournal();
    void buttonsCallLink_data();
    void buttonsCallLink();
    void visibility_data();
    void visibility();
    void timelineLoggedOnce();
    void signalQuitsLoop();

private:
    QTemporaryDir m_dir;
    McuPeer m_peer;
    MainAppProtocolComm *m_link = nullptr;
};

void TestHomeScreen::initTestCase()
{
    m_link = m_peer.connectLink(m_dir.filePath(QStringLiteral("link")));
    QVERIFY(m_link);
}

void TestHomeScreen::cleanupTestCase()
{
    m_link->Stop();
}

// Runs first: nothing in the process has been on screen yet.
void TestHomeScreen::firstFrameAfterPaintOnce()
{
    FirstFrameMonitor *monitor = FirstFrameMonitor::getInstance();
    PaintCounter counter;
    HomeScreen screen;
    screen.installEventFilter(&counter);
    int paintsAtReport = -1;
    connect(monitor, &FirstFrameMonitor::procFlushDone, &screen, [&] { paintsAtReport = counter.paints; });
    QSignalSpy spy(monitor, SIGNAL(procFlushDone()));
    QVERIFY(!monitor->preCheck());

    screen.show();
    QTRY_COMPARE(spy.count(), 1);
    QVERIFY(paintsAtReport > 0);
    QVERIFY(BootTimeline::instance()->elapsed(BootTimeline::FirstFrame) >= 0);

    screen.hide();
    screen.show();
    screen.repaint();
    QTRY_VERIFY(counter.paints > paintsAtReport);
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), 1);
    FirstFrameMonitor::releaseInstance();
}

void TestHomeScreen::showsJournal_data()
{
    QTest::addColumn<Action>("action");
    QTest::addColumn<QString>("labelName");
    QTest::addColumn<QString>("expected");

    auto row = [](const char *tag, const Action &action, const char *label, const char *expected) {
        QTest::newRow(tag) << action << label << expected;
    };
    AppData *data = AppData::GetInstance();
    row("uuid", [data] { data->setUUID(QStringLiteral("5f2c-0a91")); }, "uuid", "5f2c-0a91");
    row("uuid from the reader thread", [data] { std::thread([data] { data->setUUID(QStringLiteral("b-7")); }).join(); },
        "uuid", "b-7");
    row("mcu type", [data] { data->setMcuType(3); }, "mcuType", "3");
    row("tuner type", [data] { data->setTunerType(7); }, "tunerType", "7");
    row("mcu version", [] { PlatformControl::getInstance()->setMcuVersion(QStringLiteral("MCU-2.14")); }, "mcuVersion",
        "MCU-2.14");
    row("current source", [data] { data->setCurSource(SOURCE_ID_DISC); }, "currentSource", "Disc (2)");
    row("last source", [data] { data->setLastSource(SOURCE_ID_AUX); }, "lastSource", "AUX (5)");
    row("clock synced", [data] { data->setMcuTimeSynced(true); }, "clockSynced", "yes");
    row("language", [] { SysLanguage::exeLanguage(QStringLiteral("de")); }, "language", "de");
    row("drive side", [] { zyappframework::UIManager::setRightDrive(true, true); }, "driveSide", "right-hand drive");
    row("key press", [] { BaseControl::getInstance()->sendMcuKeyPressedSignal(33, 1); }, "lastKey", "key 33, state 1");
}

void TestHomeScreen::showsJournal()
{
    QFETCH(Action, action);
    QFETCH(QString, labelName);
    QFETCH(QString, expected);

    HomeScreen screen;
    action();
    QTRY_COMPARE(label(&screen, labelName.toLatin1()), expected);
    // Clearing the journal does not blank what was shown.
    Journal::instance()->clear();
    screen.refresh();
    QCOMPARE(label(&screen, labelName.toLatin1()), expected);
}

void TestHomeScreen::buttonsCallLink_data()
{
    QTest::addColumn<ScreenAction>("prepare");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QByteArray>("frame");

    const ScreenAction none = [](HomeScreen *) {};
    QTest::newRow("eject") << none << "ejectButton" << normalFrame(12, 140, 0);
    QTest::newRow("heartbeat") << none << "heartbeatButton" << normalFrame(12, 190, 0);
    QTest::newRow("source") << ScreenAction([](HomeScreen *s) {
        auto *selector = s->findChild<QComboBox *>(QStringLiteral("sourceSelector"));
        selector->setCurrentIndex(selector->findData(int(SOURCE_ID_BT_MUSIC)));
        s->findChild<QSpinBox *>(QStringLiteral("sourceParam"))->setValue(7);
    }) << "changeSourceButton" << normalFrame(12, 5, (7u << 16) | SOURCE_ID_BT_MUSIC);
    QTest::newRow("key colour") << ScreenAction([](HomeScreen *s) {
        const int values[] = { 255, 2, 3 };
        for (int i = 0; i < 3; ++i)
            s->findChild<QSpinBox *>(QStringLiteral("keyColour%1").arg(i + 1))->setValue(values[i]);
    }) << "keyColourButton" << outLong(2, 19, QByteArray::fromHex("0401ff0203"));
}

void TestHomeScreen::buttonsCallLink()
{
    QFETCH(ScreenAction, prepare);
    QFETCH(QString, button);
    QFETCH(QByteArray, frame);

    HomeScreen screen;
    screen.show();
    QVERIFY(QTest::qWaitForWindowExposed(&screen));
    prepare(&screen);
    auto *b = screen.findChild<QPushButton *>(button);
    QVERIFY(b);
    QTest::mouseClick(b, Qt::LeftButton);
    QCOMPARE(m_peer.read(frame.size()).toHex(), frame.toHex());
    // Nothing else goes out, on a timer or otherwise.
    QCOMPARE(m_peer.readAll(100), QByteArray());
}

void TestHomeScreen::visibility_data()
{
    QTest::addColumn<bool>("minimise");
    QTest::newRow("minimise") << true;
    QTest::newRow("hide") << false;
}

void TestHomeScreen::visibility()
{
    QFETCH(bool, minimise);

    HomeScreen screen;
    auto *uuid = screen.findChild<QLabel *>(QStringLiteral("uuid"));
    PaintCounter counter;
    uuid->installEventFilter(&counter);
    screen.show();
    QVERIFY(QTest::qWaitForWindowExposed(&screen));
    QTRY_VERIFY(Application::isApVisible());

    minimise ? screen.showMinimized() : screen.hide();
    QTRY_VERIFY(!Application::isApVisible());
    // What arrives while concealed is painted once revealed: the update
    // requests made meanwhile were dropped by the application.
    AppData::GetInstance()->setUUID(QStringLiteral("while-hidden"));
    QTRY_COMPARE(uuid->text(), QStringLiteral("while-hidden"));
    const int paints = counter.paints;
    minimise ? screen.showNormal() : screen.show();
    QTRY_VERIFY(Application::isApVisible());
    QTRY_VERIFY(counter.paints > paints);
    const int revealed = counter.paints;
    AppData::GetInstance()->setUUID(QStringLiteral("after"));
    QTRY_VERIFY(counter.paints > revealed);
}

void TestHomeScreen::timelineLoggedOnce()
{
    MessageCapture messages(QtInfoMsg);
    BootTimeline *timeline = BootTimeline::instance();
    timeline->mark(BootTimeline::Stage1);
    timeline->mark(BootTimeline::Finished);
    timeline->mark(BootTimeline::Finished);
    const QStringList lines = messages.take();
    QCOMPARE(lines.size(), 1);
    const QRegularExpression format(QStringLiteral(
            "^hostframework: boot timeline: first-frame=(\\d+|-) ms stage1=(\\d+) ms stage2=- ms finished=(\\d+) ms$"));
    const QRegularExpressionMatch m = format.match(lines.first());
    QVERIFY2(m.hasMatch(), qPrintable(lines.first()));
    QVERIFY(m.captured(2).toLongLong() <= m.captured(3).toLongLong());
    QCOMPARE(timeline->summary(), lines.first().mid(int(strlen("hostframework: boot timeline: "))));
}

void TestHomeScreen::signalQuitsLoop()
{
    SignalQuit::install();
    for (const char *name : {"SIGINT", "SIGTERM"}) {
        const int signal = QByteArray(name) == "SIGINT" ? SIGINT : SIGTERM;
        MessageCapture messages(QtInfoMsg);
        QTimer::singleShot(0, [signal] { kill(getpid(), signal); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QCOMPARE(messages.take(), QStringList(QStringLiteral("hostframework: %1 received, quitting the event loop").arg(name)));
    }
}

int main(int argc, char **argv)
{
    Application app(argc, argv);
    TestHomeScreen test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_homescreen.moc"
