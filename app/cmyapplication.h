#pragma once
// The application object: a QApplication that holds the family lock for the
// life of the process.

#include "core/familylock.h"

#include <QApplication>

class CMyApplication : public QApplication
{
    Q_OBJECT
public:
    CMyApplication(int &argc, char **argv, quint8 familyNumber);
    // Takes the family lock; when another member holds it, tells the
    // operator (message box, or the log when headless) and returns false.
    bool checkSingleInstance();

private:
    FamilyLock m_lock;
};
