#ifndef HOMESCREEN_H
#define HOMESCREEN_H

#include <QHash>
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
    void changeSource();
    void sendKeyColour();

    QHash<QString, QVariantList> m_last;
    int m_scanned = 0;
    QHash<QString, QLabel *> m_values;
    QListWidget *m_activity;
    QComboBox *m_source;
    QSpinBox *m_sourceParam;
    QSpinBox *m_colour[3];
    QTimer *m_refreshTimer;
    std::atomic<bool> m_refreshPending{false};
    bool m_visible = true;
    bool m_firstFrameQueued = false;
    bool m_exposedOnce = false;
};

#endif
