#include <QtTest>

#include "datasavecontrol.h"
#include "hostframework.h"
#include "journallines.h"
#include "messagecapture.h"
#include "setupstridconst.h"
#include "sysconfig.h"

class TestSysConfig : public QObject
{
    Q_OBJECT

private:
    // Made once the test library has installed its own message handler.
    QScopedPointer<MessageCapture> m_log;

private Q_SLOTS:
    void initTestCase() { m_log.reset(new MessageCapture); }

    void disConfig_data()
    {
        QTest::addColumn<QVariant>("language");
        QTest::addColumn<QVariant>("rightDrive");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("right");
        const char *const codes[] = {"de", "en", "fr", "es", "it", "nl", "cz", "fi", "dk", "no", "pl", "sl", "sw"};
        for (int i = 0; i < 13; ++i)
            QTest::addRow("language %d", i) << QVariant(QString::number(i)) << QVariant(i == 3) << codes[i]
                                            << (i == 3 ? "true" : "false");
        for (const char *text : {"13", "-1", "fr", ""})
            QTest::addRow("language '%s'", text) << QVariant(text) << QVariant() << "de" << "false";
        // The desktop default is "1"; the drive side has no default of its own.
        QTest::newRow("nothing stored") << QVariant() << QVariant(QPoint(1, 2)) << "en" << "false";
    }

    void disConfig()
    {
        QFETCH(QVariant, language);
        QFETCH(QVariant, rightDrive);
        QFETCH(QString, code);
        QFETCH(QString, right);
        HostFramework::clearSettings();
        if (language.isValid())
            DataSaveControl::writeSettingData(SetupStrIdConst::setupSysLang, language, QString());
        if (rightDrive.isValid())
            DataSaveControl::writeSettingData(SetupStrIdConst::setupRightDrive, rightDrive, QString());
        m_log->take();
        const int mark = journalMark();

        SysConfig().exeDisConfig();

        // The store is ready before its defaults; the language goes in before
        // the drive side, and nothing of the USB modes at start.
        QCOMPARE(journalLines(mark, {"DataSaveControl::init", "DataDefault::init", "SysLanguage", "UIManager", "Usb"}),
                 QStringList({"DataSaveControl::initQSettingPath()", "DataDefault::initDataDefault()",
                              "SysLanguage::exeLanguage(" + code + ")", "UIManager::setRightDrive(" + right + ", true)"}));
        QCOMPARE(m_log->take(), QStringList({"read language: \"" + code + '"', "read right mode: " + right}));
    }
};

QTEST_GUILESS_MAIN(TestSysConfig)
#include "tst_sysconfig.moc"
