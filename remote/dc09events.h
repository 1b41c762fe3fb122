#pragma once
// What an event becomes in a DC-09 message: the site's code table
// (ArcCodes.xml: per event class, optionally per event number, the SIA code
// pair and the Contact ID code) and the data field built from it, with the
// controller as area/group and the device as zone.

#include <QByteArray>
#include <QHash>
#include <QString>

namespace Dc09 {

enum class Format { SiaDcs, ContactId };
// "SIA-DCS" or "ADM-CID", the message id of the format.
QByteArray formatId(Format f);

struct Code
{
    QByteArray sia;        // two letters, for the condition (or a momentary event)
    QByteArray siaRestore; // two letters, for its end
    int cid = 0;           // Contact ID event code 1..999; the qualifier says new or restore
    bool momentary = false; // an event without a restore (a reset): always new, always sia
};

// An event as the transmitter sees it, taken from the delivered record in
// one place (the service).
struct Event
{
    int eventClass = 0;
    int eventNumber = 0;
    bool restore = false;
    int area = 0;          // the controller number
    int zone = 0;          // the device's address; 0 for the panel itself
};

class CodeTable
{
public:
    // Reads the file; false with *error when it is missing or malformed
    // (the table is then empty: nothing is sent but supervision).
    bool load(const QString &path, QString *error);
    // By class and number, else by class alone; null when the event has no code.
    const Code *find(int eventClass, int eventNumber) const;
    bool isEmpty() const { return m_codes.isEmpty(); }
    // The zone of a device code when the driver gave no address: digits
    // [zoneStart, zoneStart + zoneLength) of the code (the sample panel's
    // codes are loop, address and type as LLLAAATT). 0 when those are not
    // all digits.
    int zoneFromCode(const QString &strCode) const;

private:
    QHash<qint64, Code> m_codes; // (class << 32 | number), number 0: the class's default
    int m_zoneStart = 3;
    int m_zoneLength = 3;
};

// The data field "#acct|Nri<area>/<code><zone>" or "#acct|QEEE GG CCC".
// Contact ID has two digits of group and three of zone: an area above 99 is
// sent as group 00, a zone above 999 as 000 (SIA: above 9999); *clipped
// tells the caller to log it.
QByteArray eventData(Format f, const QByteArray &account, const Code &code, const Event &e, bool *clipped = nullptr);

} // namespace Dc09
