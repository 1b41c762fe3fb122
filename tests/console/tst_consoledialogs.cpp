// The console's dialogs against a real settings database and the sample
// site's system types: the serial-port list, the client dialog, and the
// controller dialog with the refusals of the store's rules, what it writes,
// and a failed statement told to the operator.
#include "consolesite.h"

#include "common/testfiles.h"

#include "config/configtables.h"
#include "config/controllerstore.h"
#include "console/qdialogcontrollersetting.h"
#include "console/qdialogsetclient.h"
#include "console/serialportlist.h"
#include "core/apppaths.h"
#include "core/servercontext.h"
#include "panels/panelmodel.h"

#include <QComboBox>
#include <QSettings>
#include <QSqlQuery>
#include <QStackedWidget>
#include <QTableWidget>
#include <QtTest>

class TstConsoleDialogs : public QObject
{
    Q_OBJECT
    ConsoleSite m_site;
    QTableWidget m_table{0, 4};

    void addRow(int id, const QString &comm)
    {
        const int r = m_table.rowCount();
        m_table.insertRow(r);
        m_table.setItem(r, 0, new QTableWidgetItem(QString::number(id)));
        m_table.setItem(r, 2, new QTableWidgetItem(comm));
    }
    static QComboBox *combo(QDialog &d, const char *name) { return d.findChild<QComboBox *>(name); }
    static void choose(QDialogControllerSetting &d, int type, int id)
    {
        combo(d, "m_combControlType")->setCurrentIndex(combo(d, "m_combControlType")->findData(type));
        combo(d, "m_combControlID")->setCurrentIndex(combo(d, "m_combControlID")->findData(id));
    }
    static bool pressOk(QDialogControllerSetting &d)
    {
        d.findChild<QPushButton *>("btnOK")->click();
        return d.result() == QDialog::Accepted;
    }
    static QString storedComm(int id)
    {
        QSqlQuery q(QStringLiteral("select CommValue from ServerControllerInfo where ControllerID = %1").arg(id));
        return q.next() ? q.value(0).toString() : QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_site.prepare({"COM3"}));
        QVERIFY(ConfigTables::instance().loadSystemTypes());
        QVERIFY(ControllerStore::openDatabase(ControllerStore::selectDatabaseFile()));
    }
    void init()
    {
        m_site.prompts.clear();
        m_table.setRowCount(0);
        QSqlQuery().exec(QStringLiteral("delete from ServerControllerInfo"));
    }

    void portList()
    {
        // Nothing found (devices without a COM name do not count): COM1..COM4.
        QCOMPARE(SerialPortList::portNames({}, {"/dev/ttyUSB0", "/dev/ttyACM3"}), QStringList({"COM1", "COM2", "COM3", "COM4"}));
        const QMap<QString, QString> mapped{{"COM7", "/dev/ttyUSB0"}, {"com12", "/tmp/pty-a"}, {"Printer", "/dev/lp0"}};
        QCOMPARE(SerialPortList::portNames(mapped, {"/dev/ttyS0", "/dev/ttyS3", "/dev/ttyUSB0", "/dev/ttyS3", "/dev/ttyACM0"}),
                 QStringList({"COM1", "COM4", "COM7", "COM12"}));
        // The site's mapping, relative paths from the site directory.
        QTemporaryDir dir;
        QVERIFY(TestFiles::write(dir.filePath("config.ini"), "[SerialPorts]\nCOM3=/tmp/none-a\nCOM2=run/none-b\n"));
        const QString siteDir = AppPaths::appDir();
        AppPaths::setAppDir(dir.path());
        ServerContext::instance().loadIni();
        const QMap<QString, QString> site = SerialPortList::mappedPorts();
        QCOMPARE(site.value("COM2"), dir.filePath("run/none-b"));
        QCOMPARE(SerialPortList::portNames(site, {}), QStringList({"COM2", "COM3"}));
        ServerContext::instance().loadIni(dir.filePath("missing.ini"));
        QVERIFY(SerialPortList::mappedPorts().isEmpty());
        AppPaths::setAppDir(siteDir);
        ServerContext::instance().loadIni();
        // The controller dialog offers the machine's devices (none here) and the site's mapping.
        SerialPortList::setDeviceLister([] { return QStringList(); });
        QDialogControllerSetting d(&m_table, nullptr);
        SerialPortList::setDeviceLister({});
        QVERIFY(combo(d, "m_combComNumber")->findText("COM3") >= 0);
        QCOMPARE(combo(d, "m_combControlID")->count(), 255);
    }

    void clientDialog()
    {
        // Without user types the type is hidden and "Local" is stored.
        ServerContext::instance().isHaveUserType = false;
        QDialogSetClient d(true);
        QVERIFY(d.findChild<QComboBox *>("combClientType")->isHidden());
        d.findChild<QLineEdit *>("leClientName")->setText(QStringLiteral("centre"));
        d.findChild<QLineEdit *>("lePassWord")->setText(QStringLiteral("pw"));
        d.findChild<QLineEdit *>("lePassWordConfirm")->setText(QStringLiteral("pw"));
        QTest::mouseClick(d.findChild<QPushButton *>("btnOK"), Qt::LeftButton);
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QCOMPARE(d.userName() + d.passWord() + d.userType(), QStringLiteral("centrepwLocal"));

        // Modifying with user types: the name is fixed, different passwords are refused.
        ServerContext::instance().isHaveUserType = true;
        QDialogSetClient m(false, QStringLiteral("api"), QStringLiteral("old"), QStringLiteral("API"));
        QVERIFY(!m.findChild<QLineEdit *>("leClientName")->isEnabled());
        QCOMPARE(m.findChild<QComboBox *>("combClientType")->currentText(), QStringLiteral("API"));
        m.findChild<QLineEdit *>("lePassWord")->setText(QStringLiteral("a"));
        m.findChild<QLineEdit *>("lePassWordConfirm")->setText(QStringLiteral("b"));
        QTest::mouseClick(m.findChild<QPushButton *>("btnOK"), Qt::LeftButton);
        QCOMPARE(m.result(), int(QDialog::Rejected));
        QCOMPARE(m_site.promptTexts(), QStringList{QStringLiteral("错误|两次输入密码不一致，请重新检查输入!")});
        ServerContext::instance().isHaveUserType = false;
    }

    void networkControllers()
    {
        addRow(9, QStringLiteral("127.0.0.1:9002"));
        QDialogControllerSetting d(&m_table, nullptr);
        choose(d, 240, 9);
        QCOMPARE(d.findChild<QStackedWidget *>("stackedWidget")->currentIndex(), 1);
        QVERIFY(!pressOk(d)); // the default address and port are taken: told before the number
        auto *port = d.findChild<QLineEdit *>("lePort");
        for (const char *bad : {"0", "65536", "abc"}) {
            port->setText(bad);
            QVERIFY(!pressOk(d));
        }
        QCOMPARE(m_site.promptTexts(), QStringList({"错误|该IP地址被占用，请选择其他地址！", "错误|请输入正确的端口号!",
                                                    "错误|请输入正确的端口号!", "错误|请输入正确的端口号!"}));
        QVERIFY(storedComm(9).isEmpty());
        m_table.setRowCount(0);
        port->setText("65535");
        QVERIFY(pressOk(d));
        QCOMPARE(storedComm(9), QStringLiteral("0/127.0.0.1:65535"));
        // The chosen interface is written back as NetName.
        const QString net = combo(d, "cmbNet")->currentText();
        QCOMPARE(QSettings(m_site.dir.filePath("config.ini"), QSettings::IniFormat).value("System/NetName").toString(), net);
        QCOMPARE(ServerContext::instance().netName, net);
    }

    void modifyKeepsItsOwnNumberAndPort()
    {
        QVERIFY(ControllerStore::insertController(4, QStringLiteral("old"), 22, QStringLiteral("7")));
        addRow(3, QStringLiteral("COM3"));
        addRow(4, QStringLiteral("COM7"));
        const ControllerInfo info = ControllerStore::decodeRow(4, QStringLiteral("old"), 22, QStringLiteral("7"),
                                                               &PanelModels::isNetworkType);
        QDialogControllerSetting d(&m_table, &info);
        QVERIFY(!combo(d, "m_combControlID")->isEnabled());
        // COM7 is not on this machine, yet it stays the controller's port.
        QCOMPARE(combo(d, "m_combComNumber")->currentText(), QStringLiteral("COM7"));
        d.findChild<QLineEdit *>("edtControlName")->setText(QStringLiteral("new"));
        QVERIFY(pressOk(d));
        QSqlQuery q(QStringLiteral("select ControllerName, CommValue from ServerControllerInfo where ControllerID = 4"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString() + q.value(1).toString(), QStringLiteral("new7"));
        // Another row's port is still refused.
        QDialogControllerSetting d2(&m_table, &info);
        combo(d2, "m_combComNumber")->setCurrentIndex(combo(d2, "m_combComNumber")->findText("COM3"));
        QVERIFY(!pressOk(d2));
        QCOMPARE(m_site.promptTexts(), QStringList({"错误|该串口号被占用，请选择其他串口！"}));
    }

    void failedStatementIsToldAndTheDialogStays()
    {
        // The table already holds number 8 though the list does not show it.
        QVERIFY(ControllerStore::insertController(8, QStringLiteral("hidden"), 22, QStringLiteral("1")));
        QDialogControllerSetting d(&m_table, nullptr);
        choose(d, 22, 8);
        QVERIFY(!pressOk(d));
        QCOMPARE(m_site.prompts.size(), 1);
        QCOMPARE(m_site.prompts.first().title, QStringLiteral("错误"));
        QCOMPARE(m_site.prompts.first().icon, Prompt::Warning);
    }
};

QTEST_MAIN(TstConsoleDialogs)
#include "tst_consoledialogs.moc"
