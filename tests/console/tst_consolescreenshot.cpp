// What a person sees: the console on a live site (a simulated panel
// reporting, a client logged in) rendered to build/console-*.png, checked
// for content and for captions that fit.
// FIXED_PORTS_TEST: the site's network panel listens on UDP 9002.
#include "consolesite.h"

#include "clients/clientaccounts.h"
#include "config/controllerstore.h"
#include "console/qwidgetmain.h"
#include "panels/panelmodel.h"
#include "tools/sim/birchpanelsim.h"

#include <QApplication>
#include <QHeaderView>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QSet>
#include <QTableView>
#include <QTableWidget>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <memory>

class TstConsoleScreenshot : public QObject
{
    Q_OBJECT

    ConsoleSite m_site;
    BirchSimPort m_sim;

    // Not blank: many colours, and a good share of pixels away from the
    // dominant background.
    static void checkNotBlank(const QImage &img)
    {
        QHash<QRgb, int> counts;
        for (int y = 0; y < img.height(); y += 2) {
            for (int x = 0; x < img.width(); x += 2)
                ++counts[img.pixel(x, y)];
        }
        int total = 0;
        int dominant = 0;
        for (int n : qAsConst(counts)) {
            total += n;
            dominant = qMax(dominant, n);
        }
        QVERIFY2(counts.size() > 40, qPrintable(QString::number(counts.size())));
        QVERIFY2(total - dominant > total / 10, qPrintable(QStringLiteral("%1 of %2").arg(total - dominant).arg(total)));
    }

    static void checkCaptionsFit(QWidget *w)
    {
        const QList<QTableView *> views = w->findChildren<QTableView *>();
        for (QTableView *v : views) {
            QHeaderView *h = v->horizontalHeader();
            if (h->isHidden())
                continue;
            const QFontMetrics fm(h->font());
            for (int c = 0; c < h->count(); ++c) {
                const QString text = v->model()->headerData(c, Qt::Horizontal).toString();
                QVERIFY2(h->sectionSize(c) >= fm.horizontalAdvance(text) + 16,
                         qPrintable(v->objectName() + QLatin1Char(' ') + text));
            }
        }
        const QList<QPushButton *> buttons = w->findChildren<QPushButton *>();
        for (QPushButton *b : buttons) {
            if (b->isVisible())
                QVERIFY2(b->width() >= b->fontMetrics().horizontalAdvance(b->text()) + 12, qPrintable(b->text()));
        }
    }

private slots:
    void initTestCase()
    {
        qApp->setQuitOnLastWindowClosed(false);
        QVERIFY(m_site.prepare({"COM1", "COM2"}));
        BirchPanelSim &sim = m_sim.sim();
        sim.setId(1);
        sim.addReport(0x15, 1, 2, 0, 0x05);  // alarm
        sim.addReport(0x11, 3, 1, 0, 0x10);  // supervision
        sim.addReport(0x22, 4, 1, 0, 0x20);  // start
        sim.addReport(0x21, 4, 1, 0, 0x20);  // feedback
        sim.addReport(0x20, 3, 1, 0, 0x10);  // device restore
        sim.addReport(0x61, 0, 0, 0, 0);     // silence
        sim.setLoop(true);
        QVERIFY2(m_sim.createPty(m_site.devicePath("COM1")), qPrintable(m_sim.errorText()));

        // The site: a running panel, one without a device, a network panel.
        QVERIFY(ControllerStore::openDatabase(QString()));
        QVERIFY(ControllerStore::insertController(1, QStringLiteral("一号楼消防主机"), 22, QStringLiteral("1")));
        QVERIFY(ControllerStore::insertController(2, QStringLiteral("地下车库区域机"), 10, QStringLiteral("2")));
        QVERIFY(ControllerStore::insertController(3, QStringLiteral("园区联网主机"), 240,
                                                  QStringLiteral("0/192.168.1.20:9002")));
        m_site.resetAccounts();
        ClientAccounts &accounts = ClientAccounts::instance();
        QVERIFY(accounts.addAccount(QStringLiteral("centre"), QStringLiteral("pw"), QStringLiteral("Local")));
        QVERIFY(accounts.addAccount(QStringLiteral("duty-desk"), QStringLiteral("pw"), QStringLiteral("Local")));
    }

    void liveSiteRendersTidily()
    {
        QWidgetMain w(ConsoleSite::freePorts());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(w.width() >= 900 && w.height() >= 600);

        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, w.server()->clientListener()->serverPort());
        QVERIFY(peer.waitForConnected(5000));
        peer.write(QJsonDocument(QJsonObject{{"b", "LOGIN"}, {"t", "centre"}, {"u", "pw"}, {"s", ""}, {"r", ""}, {"q", 0}})
                       .toJson(QJsonDocument::Compact));

        auto *events = w.findChild<QTableWidget *>("tvLogReceiveList");
        auto *clients = w.findChild<QTableWidget *>("tbClientList");
        QTRY_VERIFY_WITH_TIMEOUT(events->rowCount() >= 8, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(clients->item(0, 2)->text(), QStringLiteral("已登录"), 5000);
        auto *controls = w.findChild<QTableWidget *>("tbControlList");
        QCOMPARE(controls->rowCount(), 3);
        QCOMPARE(controls->item(0, 3)->text(), QStringLiteral("启动"));
        QCOMPARE(controls->item(2, 2)->text(), QStringLiteral("192.168.1.20:9002"));
        controls->selectRow(1);
        // Event rows readable without eliding: panel type, code, name and time.
        const QFontMetrics fm(events->font());
        for (int c : {0, 1, 3, 4, 5}) {
            const QString text = events->item(0, c)->text();
            QVERIFY2(events->columnWidth(c) >= fm.horizontalAdvance(text) + 16, qPrintable(text));
        }

        auto *tabs = w.findChild<QTabWidget *>("tabMain");
        const QStringList files{"console-main.png", "console-clients.png", "console-log.png"};
        for (int t = 0; t < files.size(); ++t) {
            tabs->setCurrentIndex(t);
            QCOMPARE(tabs->currentIndex(), t);
            QTest::qWait(50); // let the tab paint once
            checkCaptionsFit(tabs->currentWidget());
            const QImage img = w.grab().toImage();
            checkNotBlank(img);
            const QString path = QStringLiteral(FIRE_BINARY_DIR "/") + files.at(t);
            QVERIFY(img.save(path));
            qInfo().noquote() << "console picture:" << path;
        }
        peer.disconnectFromHost();
    }
};

QTEST_MAIN(TstConsoleScreenshot)
#include "tst_consolescreenshot.moc"
