#include "app/cmyapplication.h"

#include "core/prompt.h"

CMyApplication::CMyApplication(int &argc, char **argv, quint8 familyNumber)
    : QApplication(argc, argv), m_lock(familyNumber)
{
    setQuitOnLastWindowClosed(true);
}

bool CMyApplication::checkSingleInstance()
{
    QString refusal;
    if (m_lock.acquire(&refusal))
        return true;
    Prompt::information(tr("提示"), refusal);
    return false;
}
