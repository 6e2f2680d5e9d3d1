#include <QtTest>

#include <memory>
#include <sys/ioctl.h>

#include "hostframework.h"
#include "journal.h"
#include "journalcalls.h"
#include "journallines.h"
#include "clockrecorder.h"
#include "launchermain.h"
#include "mainappprotocolcomm.h"
#include "mcupeer.h"
#include "messagecapture.h"
#include "setupstridconst.h"

namespace {

McuPeer *s_peer = nullptr;
MessageCapture *s_log = nullptr;
// Framework calls of the start, each with the bytes the MCU had received by then.
QStringList s_seenByMcu;
// The process's command line, as main() got it.
QStringList s_arguments;

// Takes every event and answers false, so sendEvent() tells delivered (false)
// from swallowed (true).
class Recorder : public QObject
{
    Q_OBJECT
public:
    bool event(QEvent *) override { return false; }
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
// Sorts before the cache's name, as the others sort after it.
class QPMCach : public Recorder
{
    Q_OBJECT
};

// Key and mouse events are read as such on their way to any receiver.
std::unique_ptr<QEvent> makeEvent(QEvent::Type type)
{
    if (type == QEvent::KeyPress || type == QEvent::KeyRelease)
        return std::make_unique<QKeyEvent>(type, Qt::Key_A, Qt::NoModifier);
    if (type >= QEvent::MouseButtonPress && type <= QEvent::MouseMove)
        return std::make_unique<QMouseEvent>(type, QPointF(1, 1), Qt::NoButton, Qt::NoButton,
                                             Qt::NoModifier);
    return std::make_unique<QEvent>(type);
}

const char *typeName(QEvent::Type type)
{
    return QMetaEnum::fromType<QEvent::Type>().valueToKey(type);
}

} // namespace

// Runs inside the launcher's own event loop, once it has started.
class TestApplication : public QObject
{
    Q_OBJECT

public:
    // Who receives the event while the window is hidden.
    enum Receiver { Plain, PixmapCache, OtherCase, LongerName, ShorterName };
    Q_ENUM(Receiver)

private Q_SLOTS:
    // What the end-to-end run cannot see: the link is connected before the
    // modules get it, ready after they have it, and the staged start is set
    // going before the UI line.
    void startOrder()
    {
        QCOMPARE(s_seenByMcu,
                 QStringList({"ModuleManager::initModule:0", "FirstFrameMonitor::preCheck:16"}));
        QCOMPARE(s_peer->read(16).toHex(), normalFrame(12, 17, 2).toHex());
        const int uiLine = s_log->lines().indexOf(
            QStringLiteral("UI is UI_KALDOR_RDS_1024_600 \n"));
        QVERIFY(s_log->journalSizeAt(uiLine)
                > Journal::instance()->calls().indexOf(JournalCall::preCheck));
    }

    void beepFilterInstalled()
    {
        const QString read = QLatin1String(JournalCall::readSettingData);
        const int before = journalCount(read, SetupStrIdConst::setupSysBeep);
        QKeyEvent beep(QEvent::KeyPress, Qt::Key_Meta, Qt::NoModifier, QStringLiteral("beep"));
        QCoreApplication::sendEvent(this, &beep);
        QCOMPARE(journalCount(read, SetupStrIdConst::setupSysBeep), before + 1);
    }

    // The command line reaches the application object, which takes Qt's own
    // options (-platform, -style ...) from it.
    void commandLineReachesQt() { QCOMPARE(QCoreApplication::arguments(), s_arguments); }

    // Texts for the MCU go out as UTF-8 whatever the environment's locale.
    void localeCodec() { QCOMPARE(QTextCodec::codecForLocale()->name(), QByteArray("UTF-8")); }

    void whileHidden_data()
    {
        QTest::addColumn<QEvent::Type>("type");
        QTest::addColumn<Receiver>("receiver");
        QTest::addColumn<bool>("delivered");
        const QEvent::Type swallowed[] = {QEvent::MouseMove,
                                          QEvent::FocusIn,
                                          QEvent::FocusOut,
                                          QEvent::Paint,
                                          QEvent::Resize,
                                          QEvent::Create,
                                          QEvent::Destroy,
                                          QEvent::Show,
                                          QEvent::Hide,
                                          QEvent::ParentChange,
                                          QEvent::FocusAboutToChange,
                                          QEvent::ShowToParent,
                                          QEvent::HideToParent,
                                          QEvent::PaletteChange,
                                          QEvent::ChildAdded,
                                          QEvent::ChildPolished,
                                          QEvent::ChildRemoved,
                                          QEvent::ShowWindowRequest,
                                          QEvent::PolishRequest,
                                          QEvent::Polish,
                                          QEvent::LayoutRequest,
                                          QEvent::UpdateRequest,
                                          QEvent::UpdateLater,
                                          QEvent::FontChange,
                                          QEvent::InputMethodQuery};
        for (QEvent::Type type : swallowed)
            QTest::addRow("%s swallowed", typeName(type)) << type << Plain << false;
        // Queued calls, deletions and timers keep working; the beep filter still sees presses.
        const QEvent::Type delivered[] = {QEvent::MouseButtonPress,
                                          QEvent::MouseButtonRelease,
                                          QEvent::KeyPress,
                                          QEvent::KeyRelease,
                                          QEvent::Move,
                                          QEvent::MetaCall,
                                          QEvent::DeferredDelete,
                                          QEvent::Timer};
        for (QEvent::Type type : delivered)
            QTest::addRow("%s delivered", typeName(type)) << type << Plain << true;
        QTest::newRow("pixmap cache's Timer") << QEvent::Timer << PixmapCache << false;
        QTest::newRow("Timer of a name in other case") << QEvent::Timer << OtherCase << true;
        QTest::newRow("Timer of a longer name") << QEvent::Timer << LongerName << true;
        QTest::newRow("Timer of a shorter name") << QEvent::Timer << ShorterName << true;
    }

    void whileHidden()
    {
        QFETCH(QEvent::Type, type);
        QFETCH(Receiver, receiver);
        QFETCH(bool, delivered);
        Recorder plain;
        QPMCache cache;
        qpmcache lower;
        QPMCacheX longer;
        QPMCach shorter;
        Recorder *const receivers[] = {&plain, &cache, &lower, &longer, &shorter};
        const auto event = makeEvent(type);

        HostFramework::setApVisible(false);
        const bool swallowed = QCoreApplication::sendEvent(receivers[receiver], event.get());
        HostFramework::setApVisible(true);
        QCOMPARE(swallowed, !delivered);
        QVERIFY(!QCoreApplication::sendEvent(receivers[receiver], event.get()));
    }
};

static void runTestsInTheLoop()
{
    QTimer::singleShot(0, [] {
        TestApplication test;
        QCoreApplication::exit(QTest::qExec(&test, QCoreApplication::arguments()) == 0 ? 42 : 1);
    });
}
Q_COREAPP_STARTUP_FUNCTION(runTestsInTheLoop)

// The whole process in this one: the start, the tests in its event loop, the teardown.
int main(int argc, char **argv)
{
    for (int i = 0; i < argc; ++i)
        s_arguments << QString::fromLocal8Bit(argv[i]);
    // As in an environment whose locale is not UTF-8.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    // The whole launcher runs in this process, as root in CI: never on the real clock.
    static ClockRecorder clock;
    SystemClock::setInstance(&clock);
    QTemporaryDir dir;
    McuPeer peer;
    s_peer = &peer;
    if (!peer.listen())
        return 1;
    zyappframework::MainAppProtocolComm::setSocketNames(
        qPrintable(dir.filePath(QStringLiteral("link"))), peer.name());
    QObject::connect(Journal::instance(), &Journal::recorded, [] {
        const QString call = Journal::instance()->calls().last();
        if (call != QLatin1String(JournalCall::initModule)
            && call != QLatin1String(JournalCall::preCheck))
            return;
        int bytes = -1;
        if (s_peer->fd() >= 0 || s_peer->accept(0))
            ioctl(s_peer->fd(), FIONREAD, &bytes);
        s_seenByMcu << call + QLatin1Char(':') + QString::number(bytes);
    });
    MessageCapture log;
    s_log = &log;
    // The loop's exit value is the process's, and the start's end comes after it.
    return launcherMain(argc, argv) == 42 && log.lines().last() == QLatin1String("~MainStart ") ? 0
                                                                                                : 1;
}

#include "tst_application.moc"
