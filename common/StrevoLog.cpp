#include "common/StrevoLog.h"

Q_LOGGING_CATEGORY(lcStrevo, "strevo", QtWarningMsg)
