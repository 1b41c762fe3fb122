#include "http/httplog.h"

Q_LOGGING_CATEGORY(lcHttp, "fire.http")
