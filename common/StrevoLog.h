#pragma once

#include <QLoggingCategory>

// The library's own log lines go to the category "strevo" (the libraries underneath have
// "strevo.libav", "strevo.openh264", "strevo.x264", and the transports "strevo.rtmp",
// "strevo.srt", "strevo.mf", "strevo.amf"). Every one of them shows warnings and errors only
// unless the host turns more on with Qt's rules, for example
// QLoggingCategory::setFilterRules("strevo*=true"); a host's Qt message handler receives
// what passes.
Q_DECLARE_LOGGING_CATEGORY(lcStrevo)
