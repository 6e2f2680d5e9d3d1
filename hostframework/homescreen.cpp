#include "homescreen.h"

#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <QtEndian>

#include <iterator>

#include "boottimeline.h"
#include "hostframework.h"
#include "journalcalls.h"
#include "mainappprotocolcomm.h"
#include "signalquit.h"
#include "sourceid.h"

namespace {

std::atomic<int> s_screens {0};

// A flood of frames must not become a flood of repaints.
constexpr int RefreshDelayMs = 30;

const char *const SourceNames[SOURCE_ID_COUNT] = {
    "None",      "Radio",      "Disc",  "USB music",        "Bluetooth music", "AUX",
    "USB video", "Navigation", "Phone", "Phone projection", "Settings",
};

// The calls whose latest arguments the screen shows.
const char *const Watched[] = {
    JournalCall::exeLanguage,   JournalCall::setRightDrive,
    JournalCall::setCurSource,  JournalCall::setLastSource,
    JournalCall::setMcuType,    JournalCall::setTunerType,
    JournalCall::setUUID,       JournalCall::setMcuTimeSynced,
    JournalCall::setMcuVersion, JournalCall::sendMcuKeyPressedSignal,
};

// The framework calls that only an MCU frame causes, and the kind of frame
// each stands for. Frames the framework never hears of cannot be counted.
const char *const ReceivedKinds[][2] = {
    {JournalCall::sendMcuKeyPressedSignal, "key"},
    {JournalCall::notifyMcuValue, "value"},
    {JournalCall::ejectSlot, "eject"},
    {JournalCall::handleMcuMsg, "message"},
    {JournalCall::handleCanMsg, "CAN"},
    {JournalCall::setMcuType, "MCU type"},
    {JournalCall::getDateVersion, "version request"},
    {JournalCall::setMcuVersion, "MCU version"},
    {JournalCall::ReceiveKeyStudyMsgFromMcu, "key study"},
    {JournalCall::RecevieMsgFromMcu, "data"},
    {JournalCall::RecevieSIMMsgFromMcu, "SIM"},
    {JournalCall::RecevieMCMMsgFromMcu, "MCM"},
    {JournalCall::RecevieAutoTestFromMcu, "auto test"},
    {JournalCall::setUUID, "UUID"},
    {JournalCall::setMcuTimeSynced, "time"},
};

int receivedKind(const QString &call)
{
    static const QHash<QString, int> kinds = [] {
        QHash<QString, int> h;
        for (int i = 0; i < int(std::size(ReceivedKinds)); ++i)
            h.insert(QLatin1String(ReceivedKinds[i][0]), i);
        return h;
    }();
    return kinds.value(call, -1);
}

QString sourceName(int id)
{
    if (id >= 0 && id < SOURCE_ID_COUNT)
        return QStringLiteral("%1 (%2)").arg(QLatin1String(SourceNames[id])).arg(id);
    return QStringLiteral("unknown (%1)").arg(id);
}

QString milliseconds(qint64 ms)
{
    return ms < 0 ? QStringLiteral("—") : QStringLiteral("%1 ms").arg(ms);
}

QString hex(quint32 value)
{
    return QStringLiteral("0x%1").arg(value, 4, 16, QLatin1Char('0'));
}

QString describeActivity(const Journal::Entry &entry)
{
    const QString call = entry.call.section(QLatin1String("::"), -1);
    const QVariantList &a = entry.args;
    if (call == QLatin1String("handleMcuMsg") && a.size() == 4)
        return QStringLiteral("%1  msg %2  p1 %3  p2 %4")
            .arg(call, hex(a[1].toUInt()), hex(a[2].toUInt()), hex(a[3].toUInt()));
    if (call == QLatin1String("handleCanMsg") && !a.isEmpty()) {
        const QByteArray frame = a[0].toByteArray();
        if (frame.size() >= 12) {
            const auto *p = reinterpret_cast<const uchar *>(frame.constData());
            const qint32 length = qFromLittleEndian<qint32>(p + 8);
            const QByteArray data = frame.mid(12, qBound(0, length, 8));
            return QStringLiteral("%1  msg %2  %3 bytes  %4%5")
                .arg(call, hex(qFromLittleEndian<quint32>(p + 4)))
                .arg(length)
                .arg(QString::fromLatin1(data.toHex(' ')),
                     length > 8 ? QStringLiteral(" …") : QString());
        }
    }
    QStringList args;
    for (const QVariant &v : a)
        args << v.toString();
    return QStringLiteral("%1  %2").arg(call, args.join(QLatin1String(", ")));
}

QPushButton *button(const QString &text, const QString &objectName)
{
    auto *b = new QPushButton(text);
    b->setObjectName(objectName);
    return b;
}

QSpinBox *spinBox(int max, const QString &objectName)
{
    auto *s = new QSpinBox;
    s->setRange(0, max);
    s->setObjectName(objectName);
    return s;
}

} // namespace

HomeScreen::HomeScreen(QWidget *parent)
    : QWidget(parent)
    , m_activity(new QListWidget)
    , m_source(new QComboBox)
    , m_sourceParam(spinBox(0xFFFF, QStringLiteral("sourceParam")))
    , m_sendStatus(new QLabel)
    , m_refreshTimer(new QTimer(this))
    , m_ageTimer(new QTimer(this))
{
    ++s_screens;
    setWindowTitle(QStringLiteral("Head unit — home"));
    resize(1024, 600);

    auto *title = new QLabel(QStringLiteral("Head unit — home"));
    QFont big = title->font();
    big.setPointSize(big.pointSize() + 6);
    big.setBold(true);
    title->setFont(big);

    auto *startup = new QGroupBox(QStringLiteral("Start-up"));
    auto *startupGrid = new QGridLayout(startup);
    addRow(startupGrid, QStringLiteral("Stage"), QStringLiteral("stage"));
    addRow(startupGrid, QStringLiteral("Language"), QStringLiteral("language"));
    addRow(startupGrid, QStringLiteral("Drive side"), QStringLiteral("driveSide"));
    addRow(startupGrid, QStringLiteral("Clock"), QStringLiteral("clockSynced"));
    addRow(startupGrid, QStringLiteral("First frame"), QStringLiteral("firstFrameMs"));
    addRow(startupGrid, QStringLiteral("Stage 1 ready"), QStringLiteral("stage1Ms"));
    addRow(startupGrid, QStringLiteral("Stage 2 ready"), QStringLiteral("stage2Ms"));
    addRow(startupGrid, QStringLiteral("Services finished"), QStringLiteral("finishedMs"));
    startupGrid->setRowStretch(startupGrid->rowCount(), 1);

    auto *mcu = new QGroupBox(QStringLiteral("MCU"));
    auto *mcuGrid = new QGridLayout(mcu);
    // Many kinds wrap rather than widen the window past the unit's screen.
    addRow(mcuGrid, QStringLiteral("Frames received"), QStringLiteral("received"))->setWordWrap(true);
    addRow(mcuGrid, QStringLiteral("Last frame"), QStringLiteral("lastFrame"));
    addRow(mcuGrid, QStringLiteral("Current source"), QStringLiteral("currentSource"));
    addRow(mcuGrid, QStringLiteral("Last source"), QStringLiteral("lastSource"));
    addRow(mcuGrid, QStringLiteral("MCU type"), QStringLiteral("mcuType"));
    addRow(mcuGrid, QStringLiteral("Tuner type"), QStringLiteral("tunerType"));
    addRow(mcuGrid, QStringLiteral("MCU version"), QStringLiteral("mcuVersion"));
    addRow(mcuGrid, QStringLiteral("UUID"), QStringLiteral("uuid"));
    addRow(mcuGrid, QStringLiteral("Last key"), QStringLiteral("lastKey"));
    mcuGrid->setRowStretch(mcuGrid->rowCount(), 1);

    auto *activity = new QGroupBox(QStringLiteral("Last messages to the activity manager"));
    auto *activityBox = new QVBoxLayout(activity);
    m_activity->setObjectName(QStringLiteral("activity"));
    m_activity->setFocusPolicy(Qt::NoFocus);
    activityBox->addWidget(m_activity);

    auto *state = new QHBoxLayout;
    state->addWidget(startup, 1);
    state->addWidget(mcu, 1);

    m_source->setObjectName(QStringLiteral("sourceSelector"));
    for (int id = 0; id < SOURCE_ID_COUNT; ++id)
        m_source->addItem(sourceName(id), id);
    m_source->setCurrentIndex(SOURCE_ID_RADIO);
    for (int i = 0; i < 3; ++i)
        m_colour[i] = spinBox(0xFF, QStringLiteral("keyColour%1").arg(i + 1));

    QPushButton *changeSource = button(QStringLiteral("Change source"),
                                       QStringLiteral("changeSourceButton"));
    QPushButton *eject = button(QStringLiteral("Eject disc"), QStringLiteral("ejectButton"));
    QPushButton *heartbeat = button(QStringLiteral("Heartbeat"), QStringLiteral("heartbeatButton"));
    QPushButton *keyColour = button(QStringLiteral("Key colour"), QStringLiteral("keyColourButton"));
    QPushButton *beep = button(QStringLiteral("Beep"), QStringLiteral("beepButton"));
    connect(changeSource, &QPushButton::clicked, this, &HomeScreen::changeSource);
    connect(eject, &QPushButton::clicked, this, [this] {
        zyappframework::MainAppProtocolComm::GetInstance()->EjectDisc();
        sent(QStringLiteral("Eject"));
    });
    connect(heartbeat, &QPushButton::clicked, this, [this] {
        zyappframework::MainAppProtocolComm::GetInstance()->SendHeartbeattoMCU();
        sent(QStringLiteral("Heartbeat"));
    });
    connect(keyColour, &QPushButton::clicked, this, &HomeScreen::sendKeyColour);
    connect(beep, &QPushButton::clicked, this, &HomeScreen::beep);

    auto *controls = new QGroupBox(QStringLiteral("Send to the MCU"));
    auto *controlRows = new QVBoxLayout(controls);
    auto *controlRow = new QHBoxLayout;
    controlRow->addWidget(m_source);
    controlRow->addWidget(new QLabel(QStringLiteral("param")));
    controlRow->addWidget(m_sourceParam);
    controlRow->addWidget(changeSource);
    controlRow->addSpacing(16);
    controlRow->addWidget(eject);
    controlRow->addWidget(heartbeat);
    controlRow->addStretch(1);
    controlRow->addWidget(beep);
    auto *colourRow = new QHBoxLayout;
    for (int i = 0; i < 3; ++i) {
        auto *name = new QLabel(QStringLiteral("Colour %1").arg(i + 1));
        name->setBuddy(m_colour[i]);
        colourRow->addWidget(name);
        colourRow->addWidget(m_colour[i]);
        colourRow->addSpacing(8);
    }
    colourRow->addWidget(keyColour);
    colourRow->addStretch(1);
    m_sendStatus->setObjectName(QStringLiteral("sendStatus"));
    controlRows->addLayout(controlRow);
    controlRows->addLayout(colourRow);
    controlRows->addWidget(m_sendStatus);

    auto *page = new QVBoxLayout(this);
    page->addWidget(title);
    page->addLayout(state, 3);
    page->addWidget(activity, 2);
    page->addWidget(controls);

    m_refreshTimer->setSingleShot(true);
    m_refreshTimer->setInterval(RefreshDelayMs);
    connect(m_refreshTimer, &QTimer::timeout, this, &HomeScreen::refresh);
    // Keeps the age of the last frame current while nothing arrives.
    m_ageTimer->start(1000);
    connect(m_ageTimer, &QTimer::timeout, this, &HomeScreen::showLastFrame);
    // Entries are recorded on any thread, the reader thread above all: only
    // an atomic flag is touched there, the reading happens here.
    connect(
        Journal::instance(), &Journal::recorded, this, [this] { scheduleRefresh(); },
        Qt::DirectConnection);

    // The platform window must exist before the first expose so its events
    // can be watched.
    create();
    windowHandle()->installEventFilter(this);
    refresh();
}

HomeScreen::~HomeScreen()
{
    // Before the children go: the refresh timer is reached from other threads.
    disconnect(Journal::instance(), nullptr, this, nullptr);
    --s_screens;
}

HomeScreen *HomeScreen::bringUp()
{
    auto *app = qobject_cast<QApplication *>(QCoreApplication::instance());
    if (!app || QThread::currentThread() != app->thread())
        return nullptr;
    static QPointer<HomeScreen> screen;
    if (!screen) {
        SignalQuit::install();
        screen = new HomeScreen;
        screen->show();
    }
    return screen;
}

bool HomeScreen::exists()
{
    return s_screens > 0;
}

QLabel *HomeScreen::addRow(QGridLayout *grid, const QString &title, const QString &objectName)
{
    const int row = grid->rowCount();
    auto *value = new QLabel;
    value->setObjectName(objectName);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont bold = value->font();
    bold.setBold(true);
    value->setFont(bold);
    grid->addWidget(new QLabel(title), row, 0);
    grid->addWidget(value, row, 1);
    grid->setColumnStretch(1, 1);
    m_values.insert(objectName, value);
    return value;
}

void HomeScreen::scheduleRefresh()
{
    if (!m_refreshPending.exchange(true))
        QMetaObject::invokeMethod(m_refreshTimer, "start", Qt::QueuedConnection);
}

void HomeScreen::refresh()
{
    m_refreshPending = false;

    // Only what came since the last pass; a value not found again keeps what
    // was shown, even once the journal is cleared.
    static const QSet<QString> watched = [] {
        QSet<QString> calls;
        for (const char *call : Watched)
            calls.insert(QLatin1String(call));
        return calls;
    }();
    const QVector<Journal::Entry> fresh = Journal::instance()->entriesSince(&m_seen);
    for (const Journal::Entry &entry : fresh) {
        if (watched.contains(entry.call))
            m_last.insert(entry.call, entry.args);
        const int kind = receivedKind(entry.call);
        if (kind >= 0) {
            ++m_received[kind];
            m_lastReceivedAt = entry.at;
        }
    }
    auto last = [this](const char *call, int index) {
        const QVariantList args = m_last.value(QLatin1String(call));
        return index < args.size() ? args.at(index) : QVariant();
    };
    auto show = [this](const char *label, const QString &text) {
        m_values.value(QLatin1String(label))->setText(text);
    };
    auto orNone = [](const QVariant &v, const QString &text) {
        return v.isValid() ? text : QStringLiteral("—");
    };

    const BootTimeline *timeline = BootTimeline::instance();
    const int stage = HostFramework::startupStage();
    QString stageText;
    if (timeline->elapsed(BootTimeline::Finished) >= 0)
        stageText = QStringLiteral("services finished (stage %1)").arg(stage);
    else if (stage > 0)
        stageText = QStringLiteral("stage %1 ready").arg(stage);
    else
        stageText = HostFramework::firstFrameShown()
            ? QStringLiteral("first frame shown")
            : QStringLiteral("waiting for the first frame");
    show("stage", stageText);

    const QVariant language = last(JournalCall::exeLanguage, 0);
    show("language", orNone(language, language.toString()));
    const QVariant right = last(JournalCall::setRightDrive, 0);
    show("driveSide",
         orNone(right,
                right.toBool() ? QStringLiteral("right-hand drive")
                               : QStringLiteral("left-hand drive")));
    const QVariant synced = last(JournalCall::setMcuTimeSynced, 0);
    show("clockSynced", synced.toBool() ? QStringLiteral("set") : QStringLiteral("not set"));

    show("firstFrameMs", milliseconds(timeline->elapsed(BootTimeline::FirstFrame)));
    show("stage1Ms", milliseconds(timeline->elapsed(BootTimeline::Stage1)));
    show("stage2Ms", milliseconds(timeline->elapsed(BootTimeline::Stage2)));
    show("finishedMs", milliseconds(timeline->elapsed(BootTimeline::Finished)));

    const QVariant cur = last(JournalCall::setCurSource, 0);
    show("currentSource", orNone(cur, sourceName(cur.toInt())));
    const QVariant prev = last(JournalCall::setLastSource, 0);
    show("lastSource", orNone(prev, sourceName(prev.toInt())));
    const QVariant mcuType = last(JournalCall::setMcuType, 0);
    show("mcuType", orNone(mcuType, mcuType.toString()));
    const QVariant tunerType = last(JournalCall::setTunerType, 0);
    show("tunerType", orNone(tunerType, tunerType.toString()));
    const QVariant version = last(JournalCall::setMcuVersion, 0);
    show("mcuVersion", orNone(version, version.toString()));
    const QVariant uuid = last(JournalCall::setUUID, 0);
    show("uuid", orNone(uuid, uuid.toString()));
    const QVariant key = last(JournalCall::sendMcuKeyPressedSignal, 0);
    show("lastKey",
         orNone(key,
                QStringLiteral("key %1, state %2")
                    .arg(key.toInt())
                    .arg(last(JournalCall::sendMcuKeyPressedSignal, 1).toInt())));

    QStringList received;
    for (auto it = m_received.cbegin(); it != m_received.cend(); ++it)
        received << QStringLiteral("%1 %2")
                        .arg(QLatin1String(ReceivedKinds[it.key()][1]))
                        .arg(it.value());
    show("received",
         received.isEmpty() ? QStringLiteral("none") : received.join(QLatin1String(", ")));
    showLastFrame();

    const QVector<Journal::Entry> recent = HostFramework::recentActivity();
    m_activity->clear();
    for (auto it = recent.crbegin(); it != recent.crend(); ++it)
        m_activity->addItem(describeActivity(*it));
}

void HomeScreen::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    if (!m_firstFrameQueued && windowHandle() && windowHandle()->isExposed()) {
        m_firstFrameQueued = true;
        // The backing store is flushed to the window in the same pass as this
        // paint, after the children have painted: report once the pass is over.
        QMetaObject::invokeMethod(this, &HomeScreen::frameFlushed, Qt::QueuedConnection);
    }
}

void HomeScreen::frameFlushed()
{
    BootTimeline::instance()->mark(BootTimeline::FirstFrame);
    HostFramework::reportFirstFrame();
    refresh();
}

void HomeScreen::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        updateVisibility();
}

void HomeScreen::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    updateVisibility();
}

void HomeScreen::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    updateVisibility();
}

// Show and Hide are among the events the application drops while it is not
// visible; the window's expose events are not, so they bring it back.
bool HomeScreen::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == windowHandle() && event->type() == QEvent::Expose)
        updateVisibility();
    return QWidget::eventFilter(watched, event);
}

void HomeScreen::updateVisibility()
{
    const QWindow *window = windowHandle();
    const bool exposed = window && window->isExposed();
    // Shown but not exposed yet is the start, not a hide: nothing has been
    // painted, so nothing is dropped, and the first expose paints it all.
    if (!m_exposedOnce && !exposed && isVisible() && !isMinimized())
        return;
    m_exposedOnce = m_exposedOnce || exposed;
    const bool visible = isVisible() && !isMinimized() && exposed;
    if (visible == m_visible)
        return;
    m_visible = visible;
    HostFramework::setApVisible(visible);
    // Update requests made while hidden were dropped, and the widgets would
    // wait for them for ever: paint everything once more.
    if (visible)
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_visible)
                    repaint();
            },
            Qt::QueuedConnection);
}

void HomeScreen::showLastFrame()
{
    m_values.value(QStringLiteral("lastFrame"))
        ->setText(m_lastReceivedAt < 0
                      ? QStringLiteral("nothing yet")
                      : QStringLiteral("%1 s ago").arg((Journal::now() - m_lastReceivedAt) / 1000));
}

// The senders return nothing, so a send cannot tell whether anyone got it:
// what the screen can tell is that the MCU has been silent.
QString HomeScreen::silence() const
{
    if (m_lastReceivedAt < 0)
        return QStringLiteral("nothing has come from the MCU yet");
    const qint64 quiet = Journal::now() - m_lastReceivedAt;
    if (quiet < m_quietAfterMs)
        return QString();
    return QStringLiteral("nothing from the MCU for %1 s").arg(quiet / 1000);
}

void HomeScreen::sent(const QString &what)
{
    refresh();
    const QString quiet = silence();
    m_sendStatus->setText(quiet.isEmpty() ? QStringLiteral("%1 sent").arg(what)
                                          : QStringLiteral("%1 sent; %2").arg(what, quiet));
}

void HomeScreen::changeSource()
{
    zyappframework::MainAppProtocolComm::GetInstance()->SendCurSrcToMcu(
        m_source->currentData().toInt(), m_sourceParam->value());
    sent(QStringLiteral("Source change"));
}

void HomeScreen::sendKeyColour()
{
    zyappframework::MainAppProtocolComm::GetInstance()->SendKeyColorToMcu(
        unsigned(m_colour[0]->value()), unsigned(m_colour[1]->value()),
        unsigned(m_colour[2]->value()));
    sent(QStringLiteral("Key colour"));
}

// The framework asks for a beep the way a touch does: the application's event
// filter hears it, debounces it and plays the file the volume setting picks.
void HomeScreen::beep()
{
    QCoreApplication::postEvent(
        QCoreApplication::instance(),
        new QKeyEvent(QEvent::KeyPress, Qt::Key_Meta, Qt::NoModifier, QStringLiteral("beep")));
}
