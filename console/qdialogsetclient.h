#pragma once
// Collects one client account (name, password twice, user type) for the
// console; the account rules themselves are applied by the caller.

#include <QDialog>

namespace Ui {
class QDialogSetClient;
}

class QDialogSetClient : public QDialog
{
    Q_OBJECT
public:
    // bIsAdd: a new account, the name can be typed; otherwise the fields show
    // the given account and the name is fixed.
    explicit QDialogSetClient(bool bIsAdd, const QString &strUserName = QString(),
                              const QString &strPassWord = QString(),
                              const QString &strUserType = QString(), QWidget *parent = nullptr);
    ~QDialogSetClient() override;

    // Valid after acceptance.
    QString userName() const { return m_strUserName; }
    QString passWord() const { return m_strPassWord; }
    QString userType() const { return m_strUserType; }

private slots:
    void on_btnOK_clicked();
    void on_btnCancle_clicked();

private:
    Ui::QDialogSetClient *ui;
    QString m_strUserName;
    QString m_strPassWord;
    QString m_strUserType;
};
