#pragma once
// The category of the HTTP server's and the receiver's per-request debug
// lines: the same lines in the day log, but when debug output is filtered
// out they cost nothing, not even their formatting.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcHttp)
