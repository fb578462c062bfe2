// Lets std::string and std::string_view be streamed into QDebug as text:
// without quotes or escapes, whatever the stream's quoting setting.
#pragma once

#include <QDebug>
#include <string>
#include <string_view>

QDebug operator<<(QDebug debug, const std::string& text);
QDebug operator<<(QDebug debug, std::string_view text);
