#ifndef HOMESCREEN_H
#define HOMESCREEN_H

#include <QHash>
#include <QMap>
#include <QVariantList>
#include <QWidget>
#include <atomic>

class QComboBox;
class QGridLayout;
class QLabel;
class QListWidget;
class QSpinBox;
class QTimer;

// The window the framework puts up: shows what the launcher has handed to the
// framework, live, and drives the outbound path the way the framework's own
// screens do.
class HomeScreen : public QWidget
{
    Q_OBJECT
public:
    explicit HomeScreen(QWidget *parent = nullptr);
    ~HomeScreen() override;

    // Creates and shows the home screen once per process, with the quit-on-
    // signal handling; only in a widget application and on its GUI thread.
    static HomeScreen *bringUp();
    // Whether a home screen exists that will report the first frame itself.
    static bool exists();

    // How long the MCU may stay silent before a send says so.
    void setQuietAfter(int ms) { m_quietAfterMs = ms; }

public Q_SLOTS:
    // Re-reads the journal into the labels.
    void refresh();

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLabel *addRow(QGridLayout *grid, const QString &title, const QString &objectName);
    void scheduleRefresh();
    void updateVisibility();
    void frameFlushed();
    void showLastFrame();
    void sent(const QString &what);
    QString silence() const;
    void changeSource();
    void sendKeyColour();
    void beep();

    QHash<QString, QVariantList> m_last;
    quint64 m_seen = 0;
    // Frames received per kind, and when the last one came (Journal::now()).
    QMap<int, int> m_received;
    qint64 m_lastReceivedAt = -1;
    int m_quietAfterMs = 5000;
    QHash<QString, QLabel *> m_values;
    QListWidget *m_activity;
    QComboBox *m_source;
    QSpinBox *m_sourceParam;
    QSpinBox *m_colour[3];
    QLabel *m_sendStatus;
    QTimer *m_refreshTimer;
    QTimer *m_ageTimer;
    std::atomic<bool> m_refreshPending {false};
    bool m_visible = true;
    bool m_firstFrameQueued = false;
    bool m_exposedOnce = false;
};

#endif
