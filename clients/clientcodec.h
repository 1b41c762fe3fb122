#pragma once
// The client protocol's wire format as pure functions: a request object a
// client sends becomes a typed request and back, a message the server sends
// is encoded from values and back. The single-letter members are mapped to
// record fields here and nowhere else. No sockets: CClient moves the bytes
// and applies the connection rules, fire-client speaks the other side.

#include "clients/userinfo.h"
#include "core/cevent.h"
#include "core/historyquery.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QVariant>

namespace ClientCodec {

// What a client asks, by its command word ("b", trimmed and upper-cased).
struct Request
{
    enum Kind {
        NoWord,          // an object without "b"
        Login,
        Logout,
        SetControl,
        SetTime,
        ReadValueSwitch,
        ReadValue,       // any word containing READVALUE but READVALUESWITCH
        GetRemote,
        DataReceived,    // the client's acknowledgement
        NewEvent,        // an event a client reports
        History,         // a page of the event history
        Lamp,            // SETLAMP, SOUND: logged only
        Unknown,
    };
    Kind kind = NoWord;
    QString word;        // "b" as the client wrote it
    CEvent event;        // the members the word carries (see decodeRequest)
    UserInfo user;       // LOGIN, LOGOUT
    HistoryQuery history; // HISTORY
    QString error;       // HISTORY: a member of the wrong type
};

// The request an object stands for. Only the members a word carries are
// read: SETCONTROL d e g h i j k x l m n o w; NEWEVENT d g h i j k l m n o;
// READVALUESWITCH d e i k x; READVALUE d i x k, with the client's switch k
// inverted (1 becomes 0, anything else 1) and strNote "ReadValue";
// LOGIN/LOGOUT q r s t u. nEventCode is the client's code as sent.
Request decodeRequest(const QJsonObject &obj);
// The object a client sends for a request (fire-client and tests).
QJsonObject encodeRequest(const Request &request);

// HISTORY carries its own members: "m" from and "n" to (a range, as m and n
// carry one of device codes; "yyyy-MM-dd" or "yyyy-MM-dd hh:mm:ss"), "d"
// controller, "f" class, "l" text of the description, "q" page size, "r"
// the cursor of the page before. The answer, word "History": "v" "OK" or
// what was wrong, "q" the number of rows, "r" the cursor of the next page
// (empty: the last), "w" the rows newest first, each the members of a
// NewEvent ("o" the record's time) with "v" its action and "r" its
// description.
QByteArray encodeHistoryReply(int nSerial, const HistoryPage &page);
HistoryPage decodeHistoryReply(const QJsonObject &message);

// The panel command a SETCONTROL code stands for: 16 silence (0x89), 18
// 0x97, 11 reset (0x94), 0x8A..0x93 as they are; 0 for any other code.
int commandCodeFor(int clientCode);

// A message the server sends: "a" the sequence number as text, "b" the
// word, then the payload's members (an event for NewEvent, the login data
// for LOGIN/LOGOUT, "v" for the others).
QJsonObject encodeMessage(int nSerial, const QString &strWord, const QVariant &payload);
// The indented document written to the socket.
QByteArray encodeDocument(int nSerial, const QString &strWord, const QVariant &payload);
// A NewEvent document without its number, from its second member on: one
// delivered event goes to every connection with that connection's number
// put in front (withSerial), so it is encoded once, not once per client.
QByteArray eventBody(const CEvent &e);
QByteArray withSerial(int nSerial, const QByteArray &body);
// The event of a NewEvent message (members c to p and x).
CEvent decodeEvent(const QJsonObject &message);

// The console's description of a message; passwords never appear in it.
QString describeMessage(const QString &strWord, const QVariant &payload);
// Raw bytes of a (possibly broken) object fit for the log: the value of
// every "u" member is masked.
QByteArray redactPasswords(const QByteArray &raw);

} // namespace ClientCodec
