#include "dltlog.h"

#include <QTest>

// The launcher's DLT sink in this process, with no daemon: what it does to Qt's
// message handling, which every other part of the process relies on.
class TestDltLog : public QObject
{
    Q_OBJECT

private slots:
    void messagesAfterTeardownReachEarlierHandler();
};

// A message logged after the sink is gone (a static destructor, a late
// warning of Qt's) must find the handler that was there before it.
void TestDltLog::messagesAfterTeardownReachEarlierHandler()
{
    {
        DltLog sink;
        QTest::ignoreMessage(QtWarningMsg, "while the sink is there");
        qWarning("while the sink is there");
    }
    QTest::ignoreMessage(QtWarningMsg, "after the sink");
    qWarning("after the sink");
}

QTEST_GUILESS_MAIN(TestDltLog)
#include "tst_dltlog.moc"
