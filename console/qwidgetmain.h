#pragma once
// The operator console: lists controllers and client accounts, shows system
// messages and the event stream, and lets the operator start, stop, add,
// modify and delete controllers and accounts behind the operator password.
// It owns the server object and reaches every component through it.

#include "server/fireserver.h"

#include <QCloseEvent>
#include <QString>
#include <QVariant>
#include <QWidget>

class QStandardItemModel;
class QTableWidget;
class QTableWidgetItem;
class QTimer;

namespace Ui {
class QWidgetMain;
}

class QWidgetMain : public QWidget
{
    Q_OBJECT
public:
    static constexpr int MaxMessageRows = 1000;
    static constexpr int GraceTicks = 10;          // ticks a verified operator is not asked again
    static constexpr int GraceTickMs = 3000;       // one tick of the grace counter

    // Builds the window, then the server object, which starts every
    // component and connects the window's views by slot signature.
    explicit QWidgetMain(const FireServer::Options &options = FireServer::Options(),
                         QWidget *parent = nullptr);
    ~QWidgetMain() override;

    FireServer *server() const { return m_pServer; }

    // Operator password verification: asks unless the grace counter runs.
    bool verifyPassWord(const QString &strCaption);
    bool isPassWordVerified() const { return m_bPassWordOk; }
    int graceCount() const { return m_nGraceCount; }

public slots:
    void slotRefreshUserView();
    void slotShowViewInTable(QString strView);
    void slotShowEventLog(const CEvent &e);
    void changePassWord();
    void showSentDataToClient(QVariant sendData, QString strData);
    void slotShowLogFromClient(const CEvent &e);
    void setControlListItemState(const CEvent &e);
    void on_btnAddClient_clicked();
    void on_btnDeleteClient_clicked();
    void on_btnModifyClient_clicked();
    void on_btnStartControl_clicked();
    void on_btnModifyControl_clicked();
    void on_btnAddControl_clicked();
    void on_btnDeleteControl_clicked();
    void on_tbControlList_itemSelectionChanged();
    void on_pbClear_clicked();
    void on_newClientConnect();
    void slotSetUserState(QString strName, int iState);
    void slotTimControlState();
    void on_tabMain_currentChanged(int index);
    void on_tbClientList_currentItemChanged(QTableWidgetItem *current, QTableWidgetItem *previous);

    // One tick of the 3-second grace timer.
    void slotPassWordTick();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void setupViews();
    // Refills tbControlList from the panel manager's records.
    void refreshControlTable();
    int selectedControllerId() const;
    QString selectedClientName() const;
    void updateClientButtons();
    void addLogLine(const QString &strLine);
    void capRows(QTableWidget *table);
    bool askText(const QString &strTitle, const QString &strLabel, QString *strAnswer);

    Ui::QWidgetMain *ui;
    FireServer *m_pServer = nullptr; // owned; deleted before the widgets its events reach
    QStandardItemModel *m_pLogModel = nullptr;
    QTimer *m_pPassWordTimer = nullptr;
    bool m_bPassWordOk = false;
    quint8 m_nGraceCount = 0;
};
