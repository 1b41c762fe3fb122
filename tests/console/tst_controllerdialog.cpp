// The controller settings dialog against a real settings database and the
// sample site's system types: its lists, the refusals of the store's rules,
// what it writes, and that a failed statement is told to the operator.
#include "consolesite.h"

#include "config/configtables.h"
#include "config/controllerstore.h"
#include "panels/panelmodel.h"
#include "console/qdialogcontrollersetting.h"
#include "console/serialportlist.h"
#include "core/servercontext.h"

#include <QComboBox>
#include <QGroupBox>
#include <QSettings>
#include <QSqlQuery>
#include <QStackedWidget>
#include <QTableWidget>
#include <QtTest>

class TstControllerDialog : public QObject
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

    static void chooseType(QDialogControllerSetting &d, int type)
    {
        auto *types = d.findChild<QComboBox *>("m_combControlType");
        types->setCurrentIndex(types->findData(type));
    }
    static void chooseId(QDialogControllerSetting &d, int id)
    {
        auto *ids = d.findChild<QComboBox *>("m_combControlID");
        ids->setCurrentIndex(ids->findData(id));
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

    void listsAndTexts()
    {
        QDialogControllerSetting d(&m_table, nullptr);
        QCOMPARE(d.windowTitle(), QStringLiteral("控制器设置"));
        QCOMPARE(d.font().family(), QStringLiteral("Arial"));
        QCOMPARE(d.findChild<QGroupBox *>("gbPort")->title(), QStringLiteral("串口设置"));
        QCOMPARE(d.findChild<QGroupBox *>("gbIP")->title(), QStringLiteral("IP设置"));
        auto *types = d.findChild<QComboBox *>("m_combControlType");
        const QMap<int, SystemTypeEntry> &all = ConfigTables::instance().systemTypes();
        QCOMPARE(types->count(), all.size());
        int previous = -1;
        for (int i = 0; i < types->count(); ++i) {
            const int value = types->itemData(i).toInt();
            QVERIFY(value > previous);
            QCOMPARE(types->itemText(i), all.value(value).name);
            previous = value;
        }
        auto *ids = d.findChild<QComboBox *>("m_combControlID");
        QCOMPARE(ids->count(), 255);
        QCOMPARE(ids->itemText(0), QStringLiteral("1"));
        QCOMPARE(ids->itemText(254), QStringLiteral("255"));
        QCOMPARE(types->styleSheet(), QStringLiteral("QComboBox QAbstractItemView::item { height: 24px; }"));
        auto *ip = d.findChild<QLineEdit *>("leIP");
        QCOMPARE(ip->inputMask(), QStringLiteral("000.000.000.000"));
        QCOMPARE(ip->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(d.findChild<QLineEdit *>("lePort")->text(), QStringLiteral("9002"));
        // The mapped COM3 is offered, whatever the machine has.
        QVERIFY(d.findChild<QComboBox *>("m_combComNumber")->findText("COM3") >= 0);
    }

    void portListIsFourPortsWhenNothingIsFound()
    {
        SerialPortList::setDeviceLister([] { return QStringList(); });
        ServerContext::instance().loadIni(m_site.dir.filePath("no-such.ini"));
        QDialogControllerSetting d(&m_table, nullptr);
        ServerContext::instance().loadIni();
        SerialPortList::setDeviceLister({});
        auto *ports = d.findChild<QComboBox *>("m_combComNumber");
        QStringList names;
        for (int i = 0; i < ports->count(); ++i)
            names << ports->itemText(i);
        QCOMPARE(names, QStringList({"COM1", "COM2", "COM3", "COM4"}));
    }

    void networkPortRangeAndSave()
    {
        QDialogControllerSetting d(&m_table, nullptr);
        chooseType(d, 240);
        QCOMPARE(d.findChild<QStackedWidget *>("stackedWidget")->currentIndex(), 1);
        auto *nets = d.findChild<QComboBox *>("cmbNet");
        QVERIFY(nets->count() > 0);
        chooseId(d, 9);
        auto *port = d.findChild<QLineEdit *>("lePort");
        for (const char *bad : {"0", "65536", "abc"}) {
            port->setText(bad);
            QVERIFY(!pressOk(d));
        }
        QCOMPARE(m_site.promptTexts(), QStringList({"错误|请输入正确的端口号!", "错误|请输入正确的端口号!", "错误|请输入正确的端口号!"}));
        QVERIFY(storedComm(9).isEmpty());

        port->setText("65535");
        QVERIFY(pressOk(d));
        QCOMPARE(storedComm(9), QStringLiteral("0/127.0.0.1:65535"));
        QCOMPARE(d.commValue(), QStringLiteral("0/127.0.0.1:65535"));
        QSettings ini(m_site.dir.filePath("config.ini"), QSettings::IniFormat);
        QCOMPARE(ini.value("System/NetName").toString(), nets->currentText());
        QCOMPARE(ServerContext::instance().netName, nets->currentText());
    }

    void addressTakenBeforeNumber()
    {
        addRow(9, QStringLiteral("127.0.0.1:9002"));
        QDialogControllerSetting d(&m_table, nullptr);
        chooseType(d, 240);
        chooseId(d, 9);
        QVERIFY(!pressOk(d));
        QCOMPARE(m_site.promptTexts(), QStringList({"错误|该IP地址被占用，请选择其他地址！"}));
    }

    void modifyKeepsItsOwnNumberAndPort()
    {
        QVERIFY(ControllerStore::insertController(4, QStringLiteral("old"), 22, QStringLiteral("7")));
        addRow(3, QStringLiteral("COM3"));
        addRow(4, QStringLiteral("COM7"));
        const ControllerInfo info = ControllerStore::decodeRow(4, QStringLiteral("old"), 22, QStringLiteral("7"),
                                                               &PanelModels::isNetworkType);
        QDialogControllerSetting d(&m_table, &info);
        QVERIFY(!d.findChild<QComboBox *>("m_combControlID")->isEnabled());
        // COM7 is not on this machine, yet it stays the controller's port.
        QCOMPARE(d.findChild<QComboBox *>("m_combComNumber")->currentText(), QStringLiteral("COM7"));
        QCOMPARE(d.findChild<QLineEdit *>("edtControlName")->text(), QStringLiteral("old"));
        d.findChild<QLineEdit *>("edtControlName")->setText(QStringLiteral("new"));
        QVERIFY(pressOk(d));
        QVERIFY(m_site.prompts.isEmpty());
        QSqlQuery q(QStringLiteral("select ControllerName, CommValue from ServerControllerInfo where ControllerID = 4"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), QStringLiteral("new"));
        QCOMPARE(q.value(1).toString(), QStringLiteral("7"));

        // Another row's port is still refused.
        QDialogControllerSetting d2(&m_table, &info);
        auto *ports = d2.findChild<QComboBox *>("m_combComNumber");
        ports->setCurrentIndex(ports->findText("COM3"));
        QVERIFY(!pressOk(d2));
        QCOMPARE(m_site.promptTexts(), QStringList({"错误|该串口号被占用，请选择其他串口！"}));
    }

    void failedStatementIsToldAndTheDialogStays()
    {
        // The table already holds number 8 though the list does not show it.
        QVERIFY(ControllerStore::insertController(8, QStringLiteral("hidden"), 22, QStringLiteral("1")));
        QDialogControllerSetting d(&m_table, nullptr);
        chooseType(d, 22);
        chooseId(d, 8);
        QVERIFY(!pressOk(d));
        QCOMPARE(m_site.prompts.size(), 1);
        QCOMPARE(m_site.prompts.first().title, QStringLiteral("错误"));
        QCOMPARE(m_site.prompts.first().icon, Prompt::Warning);
    }
};

QTEST_MAIN(TstControllerDialog)
#include "tst_controllerdialog.moc"
