#include "console/qdialoggetpassword.h"

#include "ui_qdialoggetpassword.h"

QDialogGetPassWord::QDialogGetPassWord(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::QDialogGetPassWord)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    ui->lePassWord->setFocus();
}

QDialogGetPassWord::~QDialogGetPassWord()
{
    delete ui;
}

void QDialogGetPassWord::setCaption(const QString &caption)
{
    ui->lbCaption->setText(caption);
}

QString QDialogGetPassWord::caption() const
{
    return ui->lbCaption->text();
}

QString QDialogGetPassWord::passWord() const
{
    return ui->lePassWord->text();
}

void QDialogGetPassWord::on_pbOK_clicked()
{
    accept();
}

void QDialogGetPassWord::on_pbCancel_clicked()
{
    reject();
}
