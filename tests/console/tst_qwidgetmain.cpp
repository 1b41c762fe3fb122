// The operator console on the real server object over a temporary site: the
// message tables, the operator password, controller and account edits with
// their refusals, the row colours, the exit path, and the window rendered to
// build/console-*.png on a live site for a person to look at.
#include "consolesite.h"

#include "clients/clientaccounts.h"
#include "config/configtables.h"
#include "config/controllerstore.h"
#include "console/qdialogcontrollersetting.h"
#include "console/qdialogsetclient.h"
#include "console/qwidgetmain.h"
#include "core/cevent.h"
#include "panels/cpanelmanager.h"
#include "tools/sim/birchpanelsim.h"

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QInputDialog>
#include <QSqlQuery>
#include <QTableView>
#include <QTableWidget>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <memory>

namespace {
// Fills the controller dialog and presses OK; the dialog's result tells
// whether it saved.
std::function<int(QDialog *)> controllerEntry(const QString &name, int id, const QString &port)
{
    return [=](QDialog *d) {
        auto *c = qobject_cast<QDialogControllerSetting *>(d);
        if (!c)
            return int(QDialog::Rejected);
        c->findChild<QLineEdit *>("edtControlName")->setText(name);
        auto *types = c->findChild<QComboBox *>("m_combControlType");
        types->setCurrentIndex(types->findData(22));
        auto *ids = c->findChild<QComboBox *>("m_combControlID");
        if (ids->isEnabled())
            ids->setCurrentIndex(ids->findData(id));
        auto *ports = c->findChild<QComboBox *>("m_combComNumber");
        ports->setCurrentIndex(ports->findText(port));
        c->findChild<QPushButton *>("btnOK")->click();
        return c->result();
    };
}

// The stored name of a controller, or the number of rows for -1.
QString stored(int id = -1)
{
    QSqlQuery q(id < 0 ? QStringLiteral("select count(*) from ServerControllerInfo")
                       : QStringLiteral("select ControllerName from ServerControllerInfo where ControllerID = %1").arg(id));
    return q.next() ? q.value(0).toString() : QString();
}

CEvent panelEvent(quint8 panel, int code, int property, const QString &strCode = QString())
{
    CEvent e;
    e.nPanelID = panel;
    e.nPanelType = 22;
    e.nEventCode = code;
    e.nEventProperty = property;
    e.strCode = strCode;
    e.strTime = QStringLiteral("2026-12-06 21:00:00");
    ConfigTables::instance().complete(e); // as it enters the server
    return e;
}

// Logs a client in over the real listener.
void logIn(QTcpSocket &peer, quint16 port, const char *user)
{
    peer.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(peer.waitForConnected(5000));
    peer.write("{\"b\":\"LOGIN\",\"t\":\"" + QByteArray(user) + "\",\"u\":\"pw\",\"s\":\"\",\"r\":\"\",\"q\":0}");
}
} // namespace

class TstQWidgetMain : public QObject
{
    Q_OBJECT

    ConsoleSite m_site;
    BirchSimPort m_sim;
    std::unique_ptr<QWidgetMain> m_w;

    template <typename T>
    T *child(const char *name) const { return m_w->findChild<T *>(QLatin1String(name)); }
    QTableWidget *controls() const { return child<QTableWidget>("tbControlList"); }
    QTableWidget *clients() const { return child<QTableWidget>("tbClientList"); }
    CPanelManager *manager() const { return m_w->server()->panelManager(); }
    void click(const char *button) const { child<QPushButton>(button)->click(); }
    QString rowColour(int row = 0) const
    {
        QStringList c;
        for (int col = 0; col < controls()->columnCount(); ++col)
            c << controls()->item(row, col)->background().color().name();
        c.removeDuplicates();
        return c.join(',');
    }

    // Adds controller 5 on COM5 (the simulator) through the dialog.
    void addRunningController()
    {
        m_site.onDialog = controllerEntry(QStringLiteral("一号楼"), 5, "COM5");
        click("btnAddControl");
        QVERIFY(manager()->isPanelConnected(5));
    }

private slots:
    void initTestCase()
    {
        qApp->setQuitOnLastWindowClosed(false);
        QVERIFY(m_site.prepare({"COM5", "COM6"}));
        m_sim.sim().setId(5);
        QVERIFY2(m_sim.createPty(m_site.devicePath("COM5")), qPrintable(m_sim.errorText()));
    }
    void init()
    {
        m_site.prompts.clear();
        m_site.onDialog = nullptr;
        m_site.operatorPassword = QStringLiteral("pqz");
        m_site.passwordAsks = 0;
        m_site.questionAnswer = Prompt::Yes;
        m_site.resetAccounts();
        if (ControllerStore::isDatabaseOpen())
            QSqlQuery().exec(QStringLiteral("delete from ServerControllerInfo"));
        m_w.reset(new QWidgetMain(ConsoleSite::freePorts())); // no fixed-port lock needed
        m_w->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_w.get()));
    }
    void cleanup()
    {
        m_w.reset();
        ServerContext::instance().isHaveUserType = false;
    }

    void messageTablesKeepTheNewest1000Rows()
    {
        QCOMPARE(m_w->windowTitle(), m_w->server()->title());
        auto *view = child<QTableView>("tvLogList");
        for (int i = 1; i <= 1001; ++i)
            m_w->slotShowViewInTable(QStringLiteral("message %1").arg(i));
        QAbstractItemModel *model = view->model();
        QCOMPARE(model->rowCount(), 1000);
        QCOMPARE(model->index(0, 0).data().toString(), QStringLiteral("系统提示信息:message 1001"));
        QCOMPARE(model->index(999, 0).data().toString(), QStringLiteral("系统提示信息:message 2"));
        QCOMPARE(view->toolTip(), QStringLiteral("总行数:1000"));
        click("pbClear");
        QCOMPARE(model->rowCount(), 0);

        auto *events = child<QTableWidget>("tvLogReceiveList");
        const int before = events->rowCount(); // the server's own notices
        for (int i = 1; i <= 1001; ++i) {
            CEvent e = panelEvent(3, 1, 1, QStringLiteral("c%1").arg(i));
            e.nEventType = i % 2;
            m_w->slotShowEventLog(e);
        }
        QCOMPARE(events->rowCount(), 1000);
        QCOMPARE(events->item(999 - before, 3)->text(), QStringLiteral("c%1").arg(2 + before));
        QCOMPARE(events->toolTip(), QStringLiteral("总行数:1000"));
        QStringList row0;
        for (int c : {0, 1, 2, 3, 4, 5, 6})
            row0 << events->item(0, c)->text();
        QCOMPARE(row0, QStringList({"设备事件", "火灾报警控制器(22型)", "3", "c1001", ConfigTables::instance().entry(1).name,
                                    "2026-12-06 21:00:00", "1"}));
        QCOMPARE(events->item(1, 0)->text(), QStringLiteral("系统事件"));

        // Client lines and sent messages go to the message list.
        CEvent log;
        log.strTime = QStringLiteral("2026-12-06 21:10:11");
        log.strExtra = QStringLiteral("客户端登录成功!");
        m_w->slotShowLogFromClient(log);
        m_w->slotShowLogFromClient(CEvent()); // nothing to say: no line
        QCOMPARE(model->rowCount(), 1);
        QCOMPARE(model->index(0, 0).data().toString(), QStringLiteral("12-06 21:10:11客户端登录成功!"));
        m_w->showSentDataToClient(panelEvent(2, 1, 0).toVariant(), QStringLiteral("Com:1 PanelID:2 "));
        const QString line = model->index(0, 0).data().toString();
        QVERIFY2(line.contains(QStringLiteral(" Send-->Com:1 PanelID:2 EventType:")) && line.endsWith(QStringLiteral("恢复")),
                 qPrintable(line));
    }

    void operatorPassword()
    {
        QVERIFY(m_w->verifyPassWord(QStringLiteral("test")));
        for (int i = 0; i < 9; ++i)
            m_w->slotPassWordTick(); // 27 s: not asked again, and the grace is renewed
        QVERIFY(m_w->verifyPassWord(QStringLiteral("test")));
        QCOMPARE(m_site.passwordAsks, 1);
        QCOMPARE(m_w->graceCount(), 10);
        for (int i = 0; i < 10; ++i)
            m_w->slotPassWordTick(); // 30 s
        m_site.operatorPassword = QString(); // cancel
        QVERIFY(!m_w->verifyPassWord(QStringLiteral("test")));
        QCOMPARE(m_site.passwordAsks, 2);
        QVERIFY(m_site.prompts.isEmpty());
        m_site.operatorPassword = QStringLiteral("PQZ"); // wrong: refused, nothing stored
        click("btnAddControl");
        QCOMPARE(m_site.promptTexts(), QStringList({"错误|请输入正确的密码!"}));
        QCOMPARE(m_site.prompts.first().icon, Prompt::Critical);
        QCOMPARE(stored(), QStringLiteral("0"));

        // A change is saved at once; a mismatch or an empty entry changes nothing.
        m_site.prompts.clear();
        m_site.operatorPassword = QStringLiteral("pqz");
        QStringList answers{"new-pw", "new-pw"};
        m_site.onDialog = [&answers](QDialog *d) {
            auto *input = qobject_cast<QInputDialog *>(d);
            if (!input || answers.isEmpty())
                return int(QDialog::Rejected);
            input->setTextValue(answers.takeFirst());
            return int(QDialog::Accepted);
        };
        m_w->changePassWord();
        ClientAccounts::instance().load();
        QCOMPARE(ClientAccounts::instance().operatorPassword(), QStringLiteral("new-pw"));
        answers = QStringList{"one", "two"};
        m_w->changePassWord();
        answers = QStringList{""};
        m_w->changePassWord();
        QCOMPARE(m_site.promptTexts(), QStringList({"更改密码|密码更改成功,请记住您的新密码!",
                                                    "更改失败|两次输入的密码不相同,不能更改密码!",
                                                    "取消更改|您未输入新密码,取消更改!"}));
        QCOMPARE(ClientAccounts::instance().operatorPassword(), QStringLiteral("new-pw"));
    }

    void logTabAsksWithUserTypes()
    {
        auto *tabs = child<QTabWidget>("tabMain");
        tabs->setCurrentIndex(2);
        tabs->setCurrentIndex(0);
        ServerContext::instance().isHaveUserType = true;
        m_site.operatorPassword = QString(); // cancel: the tab stays
        tabs->setCurrentIndex(2);
        QCOMPARE(tabs->currentIndex(), 0);
        m_site.operatorPassword = QStringLiteral("pqz");
        tabs->setCurrentIndex(2);
        QCOMPARE(tabs->currentIndex(), 2);
        QCOMPARE(m_site.passwordAsks, 2);
    }

    void controllerEdits()
    {
        addRunningController();
        QCOMPARE(stored(5), QStringLiteral("一号楼"));
        QSqlQuery q(QStringLiteral("select ControllerType, number, description, CommValue from ServerControllerInfo"));
        QVERIFY(q.next());
        QCOMPARE(QStringList({q.value(0).toString(), q.value(1).toString(), q.value(2).toString(), q.value(3).toString()}),
                 QStringList({"22", "5", "一号楼", "5"}));
        QCOMPARE(QStringList({controls()->item(0, 0)->text(), controls()->item(0, 2)->text(), controls()->item(0, 3)->text()}),
                 QStringList({"5", "COM5", "启动"}));
        QTRY_VERIFY_WITH_TIMEOUT(m_sim.bytesReceived() > 0, 10000); // the driver talks to the panel
        // A taken number or port is refused with the store's text; nothing stored.
        m_site.onDialog = controllerEntry(QStringLiteral("二号楼"), 5, "COM6");
        click("btnAddControl");
        m_site.onDialog = controllerEntry(QStringLiteral("三号楼"), 6, "COM5");
        click("btnAddControl");
        // Running: neither modified nor deleted.
        controls()->selectRow(0);
        QCOMPARE(child<QPushButton>("btnStartControl")->text(), QStringLiteral("停止"));
        click("btnModifyControl");
        click("btnDeleteControl");
        QCOMPARE(m_site.promptTexts(), QStringList({"错误|该控制器号被占用，请选择其他控制器！", "错误|该串口号被占用，请选择其他串口！",
                                                    "警告|请先关闭控制器!", "警告|确定要删除该控制器?", "警告|请先关闭控制器!"}));
        QCOMPARE(stored(), QStringLiteral("1"));
        QVERIFY(manager()->isPanelConnected(5));

        // Stopped, it can be modified (and stays stopped), then deleted once confirmed.
        click("btnStartControl");
        QVERIFY(!manager()->isPanelConnected(5));
        QCOMPARE(controls()->item(0, 3)->text() + child<QPushButton>("btnStartControl")->text(), QStringLiteral("停止启动"));
        m_site.onDialog = controllerEntry(QStringLiteral("改名"), 5, "COM5");
        controls()->selectRow(0);
        click("btnModifyControl");
        QCOMPARE(controls()->item(0, 1)->text(), QStringLiteral("改名"));
        QCOMPARE(stored(5), QStringLiteral("改名"));
        QVERIFY(!manager()->isPanelConnected(5));
        m_site.questionAnswer = Prompt::No;
        controls()->selectRow(0);
        click("btnDeleteControl");
        QCOMPARE(stored(), QStringLiteral("1"));
        m_site.questionAnswer = Prompt::Yes;
        click("btnDeleteControl");
        QCOMPARE(stored(), QStringLiteral("0"));
        QVERIFY(manager()->controllerIds().isEmpty() && controls()->rowCount() == 0);

        // One that cannot open (COM6 has no device) is shown stopped.
        m_site.prompts.clear();
        m_site.onDialog = controllerEntry(QStringLiteral("车库"), 6, "COM6");
        click("btnAddControl");
        QCOMPARE(stored(), QStringLiteral("1"));
        QCOMPARE(controls()->item(0, 3)->text(), QStringLiteral("停止"));
        QCOMPARE(controls()->item(0, 0)->background().color(), QColor(Qt::white));
        controls()->selectRow(0);
        click("btnStartControl");
        QCOMPARE(m_site.promptTexts(), QStringList({"提示|打开失败!"}));
        QCOMPARE(child<QPushButton>("btnStartControl")->text(), QStringLiteral("启动"));
    }

    void stateEventsColourOnlyTheirOwnRow()
    {
        addRunningController();
        QCOMPARE(rowColour(), QStringLiteral("#00ff00")); // running
        m_w->setControlListItemState(panelEvent(99, 17, 1));
        QCOMPARE(rowColour(), QStringLiteral("#00ff00"));
        m_w->setControlListItemState(panelEvent(5, 17, 1));
        QCOMPARE(rowColour(), QStringLiteral("#ffff00"));
        ServerContext::instance().isHaveUserType = true;
        m_w->setControlListItemState(panelEvent(5, 17, 1));
        QCOMPARE(rowColour(), QStringLiteral("#ff0000"));
        m_w->setControlListItemState(panelEvent(5, 17, 0));
        QCOMPARE(rowColour(), QStringLiteral("#00ff00"));
    }

    void clientAccountsThroughTheDialog()
    {
        for (const char *name : {"centre", "desk", "centre"}) {
            m_site.onDialog = [name](QDialog *d) {
                auto *c = qobject_cast<QDialogSetClient *>(d);
                if (!c)
                    return int(QDialog::Rejected);
                c->findChild<QLineEdit *>("leClientName")->setText(name);
                c->findChild<QLineEdit *>("lePassWord")->setText("pw");
                c->findChild<QLineEdit *>("lePassWordConfirm")->setText("pw");
                c->findChild<QPushButton *>("btnOK")->click();
                return c->result();
            };
            click("btnAddClient");
        }
        QCOMPARE(m_site.promptTexts(), QStringList({"错误|该用户名占用，请选择其他用户！"}));
        QCOMPARE(clients()->rowCount(), 2);
        QCOMPARE(QStringList({clients()->item(0, 0)->text(), clients()->item(0, 1)->text(), clients()->item(0, 2)->text()}),
                 QStringList({"centre", "Local", "未登录"})); // without user types: "Local"

        // A logged-in client's row cannot be modified or deleted.
        QTcpSocket peer;
        logIn(peer, m_w->server()->clientListener()->serverPort(), "centre");
        QTRY_COMPARE_WITH_TIMEOUT(clients()->item(0, 2)->text(), QStringLiteral("已登录"), 5000);
        QCOMPARE(clients()->item(0, 0)->background().color(), QColor(0, 255, 0));
        clients()->setCurrentCell(1, 0);
        QVERIFY(child<QPushButton>("btnModifyClient")->isEnabled() && child<QPushButton>("btnDeleteClient")->isEnabled());
        clients()->setCurrentCell(0, 1);
        QVERIFY(!child<QPushButton>("btnModifyClient")->isEnabled() && !child<QPushButton>("btnDeleteClient")->isEnabled());
        clients()->setCurrentCell(0, 2); // same row: nothing changes
        QVERIFY(!child<QPushButton>("btnModifyClient")->isEnabled());
        // The client goes: its row is free again.
        peer.disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(clients()->item(0, 2)->text(), QStringLiteral("未登录"), 5000);
        clients()->setCurrentCell(1, 0);
        clients()->setCurrentCell(0, 0);
        m_site.prompts.clear();
        click("btnDeleteClient");
        QCOMPARE(m_site.promptTexts(), QStringList({"警告|确实要删除该客户端？"}));
        QVERIFY(!ClientAccounts::instance().contains("centre"));
        QCOMPARE(clients()->rowCount(), 1);
    }

    void liveSiteRendersTidily()
    {
        m_sim.sim().addReport(0x15, 1, 2, 0, 0x05);
        m_sim.sim().addReport(0x11, 3, 1, 0, 0x10);
        m_sim.sim().setLoop(true);
        addRunningController();
        QVERIFY(ClientAccounts::instance().addAccount(QStringLiteral("centre"), QStringLiteral("pw"), QStringLiteral("Local")));
        m_w->slotRefreshUserView();
        QTcpSocket peer;
        logIn(peer, m_w->server()->clientListener()->serverPort(), "centre");
        QTRY_COMPARE_WITH_TIMEOUT(clients()->item(0, 2)->text(), QStringLiteral("已登录"), 5000);
        auto *events = child<QTableWidget>("tvLogReceiveList");
        QTRY_VERIFY_WITH_TIMEOUT(events->rowCount() >= 4, 20000);
        auto *tabs = child<QTabWidget>("tabMain");
        const QStringList files{"console-main.png", "console-clients.png", "console-log.png"};
        for (int t = 0; t < files.size(); ++t) {
            tabs->setCurrentIndex(t);
            // No caption clipped: headers and visible buttons fit their text.
            for (QTableView *v : tabs->currentWidget()->findChildren<QTableView *>()) {
                QHeaderView *h = v->horizontalHeader();
                for (int c = 0; c < h->count() && !h->isHidden(); ++c) {
                    const QString text = v->model()->headerData(c, Qt::Horizontal).toString();
                    QVERIFY2(h->sectionSize(c) >= QFontMetrics(h->font()).horizontalAdvance(text) + 16, qPrintable(text));
                }
            }
            for (QPushButton *b : tabs->currentWidget()->findChildren<QPushButton *>())
                QVERIFY2(!b->isVisible() || b->width() >= b->fontMetrics().horizontalAdvance(b->text()) + 12, qPrintable(b->text()));
            // Not blank: many colours in the picture.
            const QImage img = m_w->grab().toImage();
            QSet<QRgb> colours;
            for (int y = 0; y < img.height(); y += 2)
                for (int x = 0; x < img.width(); x += 2)
                    colours.insert(img.pixel(x, y));
            QVERIFY2(colours.size() > 40, qPrintable(QString::number(colours.size())));
            QVERIFY(img.save(QStringLiteral(FIRE_BINARY_DIR "/") + files.at(t)));
        }
        m_sim.sim().setLoop(false);
    }

    void exitNeedsThePasswordAndStoresOpenStates()
    {
        addRunningController();
        for (int i = 0; i < 10; ++i)
            m_w->slotPassWordTick();
        m_site.operatorPassword = QStringLiteral("wrong");
        QVERIFY(!m_w->close());
        QVERIFY(m_w->isVisible() && m_w->server()->isRunning());
        m_site.operatorPassword = QStringLiteral("pqz");
        QVERIFY(m_w->close());
        QVERIFY(!m_w->server()->isRunning() && !manager()->isPanelConnected(5));
        QSqlQuery q(QStringLiteral("select IsOpenBefore from ServerControllerInfo where ControllerID = 5"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), QStringLiteral("1"));
    }
};

QTEST_MAIN(TstQWidgetMain)
#include "tst_qwidgetmain.moc"
