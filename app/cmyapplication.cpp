#include "app/cmyapplication.h"

CMyApplication::CMyApplication(int &argc, char **argv, quint8 familyNumber)
    : QApplication(argc, argv), m_lock(familyNumber)
{
    setQuitOnLastWindowClosed(true);
}

bool CMyApplication::checkSingleInstance()
{
    return m_lock.acquireOrTell();
}
