#include "console/qdialogsetclient.h"

#include "ui_qdialogsetclient.h"

#include "core/prompt.h"
#include "core/servercontext.h"

#include <QAbstractItemView>
#include <QListView>

QDialogSetClient::QDialogSetClient(bool bIsAdd, const QString &strUserName,
                                   const QString &strPassWord, const QString &strUserType,
                                   QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::QDialogSetClient)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    // The styled item height only applies to a QListView popup, not to the
    // platform's default combo popup.
    ui->combClientType->setView(new QListView(ui->combClientType));
    ui->combClientType->setStyleSheet(QStringLiteral("QComboBox QAbstractItemView::item { height: 24px; }"));
    ui->combClientType->addItem(QStringLiteral("Local"), 1);
    ui->combClientType->addItem(QStringLiteral("Remote"), 2);
    ui->combClientType->addItem(QStringLiteral("API"), 3);

    // Without user types the type is neither asked for nor checked; the
    // account still gets the first choice, "Local".
    const bool withTypes = ServerContext::instance().isHaveUserType;
    ui->combClientType->setVisible(withTypes);
    ui->lbClientType->setVisible(withTypes);

    ui->leClientName->setReadOnly(!bIsAdd);
    ui->leClientName->setEnabled(bIsAdd);
    if (!bIsAdd) {
        ui->leClientName->setText(strUserName);
        ui->lePassWord->setText(strPassWord);
        ui->lePassWordConfirm->setText(strPassWord);
        const int idx = ui->combClientType->findText(strUserType);
        if (idx >= 0)
            ui->combClientType->setCurrentIndex(idx);
        ui->lePassWord->setFocus();
    } else {
        ui->leClientName->setFocus();
    }
    adjustSize();
}

QDialogSetClient::~QDialogSetClient()
{
    delete ui;
}

void QDialogSetClient::on_btnOK_clicked()
{
    if (ui->lePassWord->text() != ui->lePassWordConfirm->text()) {
        Prompt::warning(tr("错误"), tr("两次输入密码不一致，请重新检查输入!"));
        ui->lePassWord->setFocus();
        return;
    }
    m_strUserName = ui->leClientName->text();
    m_strPassWord = ui->lePassWord->text();
    m_strUserType = ui->combClientType->currentText();
    accept();
}

void QDialogSetClient::on_btnCancle_clicked()
{
    reject();
}
